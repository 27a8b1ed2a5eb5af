// Help > About Twinbay: a sheet with the About page and the Technical Support
// page; and the maker's web addresses used by Help > Connect to the Kestrion
// Web Site.
#pragma once

#include <QDialog>

class QTabWidget;
class QPlainTextEdit;

namespace twinbay {

class CHyperLink;

// Where the maker's page is (chosen when the program is built).
QString MakerUrl();
QString SupportEmail();
// The host name of the maker's page, or the file name when it is a local file.
QString MakerHostName();
// "Launch a web browser and connect to the Kestrion Web Site\nConnect to <host>"
QString WebSitePrompt();
// Asks first; on Yes opens the maker's page with the desktop's handler.
void ConnectToWebSite(QWidget* parent);

class CAboutPropertyPage : public QWidget {
  Q_OBJECT
 public:
  explicit CAboutPropertyPage(QWidget* parent = nullptr);
  CHyperLink* CompanyLink() const { return company_; }

 private:
  CHyperLink* company_;
};

class CSupportPropertyPage : public QWidget {
  Q_OBJECT
 public:
  explicit CSupportPropertyPage(QWidget* parent = nullptr);
  CHyperLink* MailLink() const { return mail_; }
  CHyperLink* WebLink() const { return web_; }
  QPlainTextEdit* Text() const { return text_; }

 private:
  QPlainTextEdit* text_;
  CHyperLink *mail_, *web_;
};

// "About Twinbay...": the two pages and a lone OK button.
class CAboutSheet : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutSheet(QWidget* parent = nullptr);
  QTabWidget* Tabs() const { return tabs_; }
  CAboutPropertyPage* About() const { return about_; }
  CSupportPropertyPage* Support() const { return support_; }

 private:
  QTabWidget* tabs_;
  CAboutPropertyPage* about_;
  CSupportPropertyPage* support_;
};

}  // namespace twinbay
