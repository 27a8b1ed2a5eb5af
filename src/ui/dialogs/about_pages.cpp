#include "ui/dialogs/about_pages.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/icons.h"
#include "widgets/hyperlink.h"

#ifndef TWINBAY_MAKER_URL
#define TWINBAY_MAKER_URL "file:///usr/local/share/doc/Twinbay/README.md"
#endif
#ifndef TWINBAY_SUPPORT_EMAIL
#define TWINBAY_SUPPORT_EMAIL "support@kestrion.example"
#endif

namespace twinbay {

namespace {
const char kVersion[] = "1.07";
const char kCompany[] = "Kestrion";
const char kRights[] =
    "Copyright \u00a9 Kestrion. All rights reserved.\n"
    "Twinbay may be used and copied freely; it comes without any warranty.";
const char kSupportText[] =
    "We provide free technical support by email to all users - You will usually receive a response within 24 hours "
    "but we cannot guarantee this.\r\n\r\n"
    "Please tell us the version of Twinbay (shown on the About page), the kind of FTP server you connect to, and "
    "what you did and saw. A copy of any message the program showed helps us most.\r\n\r\n"
    "To contact us, send mail to the support address below or click the link below.";

// The page's picture column and text column, with the etched line below.
QGridLayout* PageGrid(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(20, 20, 20, 14);
  grid->setHorizontalSpacing(18);
  auto* icon = new QLabel;
  icon->setPixmap(icons::App().pixmap(48, 48));
  icon->setAlignment(Qt::AlignTop);
  grid->addWidget(icon, 0, 0, 10, 1, Qt::AlignTop);
  grid->setColumnStretch(1, 1);
  return grid;
}

void EtchedLine(QGridLayout* grid, int row) {
  auto* line = new QFrame;
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  grid->setRowStretch(row, 1);
  grid->addWidget(line, row + 1, 1);
}
}  // namespace

QString MakerUrl() { return QString::fromUtf8(TWINBAY_MAKER_URL); }
QString SupportEmail() { return QString::fromUtf8(TWINBAY_SUPPORT_EMAIL); }

QString MakerHostName() {
  const QUrl url(MakerUrl());
  return url.host().isEmpty() ? url.fileName() : url.host();
}

QString WebSitePrompt() {
  return "Launch a web browser and connect to the Kestrion Web Site\nConnect to " + MakerHostName();
}

void ConnectToWebSite(QWidget* parent) {
  QMessageBox ask(QMessageBox::Warning, "Twinbay",
                  "This option will launch your web browser and connect\nto the Kestrion Web Site. Do you wish to proceed?",
                  QMessageBox::Yes | QMessageBox::No, parent);
  ask.setObjectName("WebSiteQuestion");
  if (ask.exec() != QMessageBox::Yes) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // The outcome is not reported, as with any browser start.
  QDesktopServices::openUrl(QUrl(MakerUrl()));
  QApplication::restoreOverrideCursor();
}

CAboutPropertyPage::CAboutPropertyPage(QWidget* parent) : QWidget(parent) {
  setObjectName("AboutPage");
  QGridLayout* grid = PageGrid(this);
  auto* name = new QLabel("Twinbay");
  QFont big = name->font();
  big.setBold(true);
  name->setFont(big);
  auto* versionRow = new QHBoxLayout;
  auto* version = new QLabel(kVersion);
  version->setObjectName("version");
  versionRow->addWidget(new QLabel("Version:"));
  versionRow->addWidget(version);
  versionRow->addStretch(1);
  auto* rights = new QLabel(kRights);
  rights->setObjectName("rights");
  rights->setWordWrap(true);
  company_ = new CHyperLink(kCompany, MakerUrl());
  company_->setObjectName("companyLink");
  grid->addWidget(name, 0, 1);
  grid->addLayout(versionRow, 1, 1);
  grid->addWidget(rights, 3, 1);
  grid->setRowMinimumHeight(2, 10);
  grid->addWidget(company_, 4, 1, Qt::AlignLeft);
  EtchedLine(grid, 5);
}

CSupportPropertyPage::CSupportPropertyPage(QWidget* parent) : QWidget(parent) {
  setObjectName("SupportPage");
  QGridLayout* grid = PageGrid(this);
  text_ = new QPlainTextEdit;
  text_->setObjectName("supportText");
  text_->setReadOnly(true);
  text_->setPlainText(QString(kSupportText).replace("\r\n", "\n"));
  text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* links = new QGridLayout;
  mail_ = new CHyperLink(SupportEmail(), "mailto:" + SupportEmail());
  mail_->setObjectName("mailLink");
  web_ = new CHyperLink(MakerHostName(), MakerUrl());
  web_->setObjectName("webLink");
  links->addWidget(new QLabel("EMail: "), 0, 0);
  links->addWidget(mail_, 0, 1, Qt::AlignLeft);
  links->addWidget(new QLabel("Web:"), 1, 0);
  links->addWidget(web_, 1, 1, Qt::AlignLeft);
  links->setColumnStretch(1, 1);
  grid->addWidget(text_, 0, 1);
  grid->addLayout(links, 1, 1);
  grid->setRowStretch(0, 10);
  EtchedLine(grid, 2);
}

CAboutSheet::CAboutSheet(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutSheet");
  setWindowTitle("About Twinbay...");
  tabs_ = new QTabWidget;
  about_ = new CAboutPropertyPage;
  support_ = new CSupportPropertyPage;
  tabs_->addTab(about_, "About Twinbay");
  tabs_->addTab(support_, "Technical Support");
  // Only OK: nothing here can be cancelled or applied.
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs_);
  layout->addWidget(buttons);
  resize(460, 380);
}

}  // namespace twinbay
