#include "shell/file_menus.h"

#include <QAction>
#include <QActionGroup>

#include "ui/view/twinbay_view.h"

namespace twinbay {

int CFileMenus::FilterOf(const QString& menuText) {
  static const struct {
    const char* text;
    int number;
  } kFilters[] = {{"All Files", 0},
                  {"Files to copy from Local to Remote", 1},
                  {"Files to copy from Remote to Local", 2},
                  {"Files with matching timestamps", 4},
                  {"Files requiring synchronization", 5},
                  {"Files that exist on one path only", 6},
                  {"Files which exist on both paths", 7},
                  {"Conflicts", 8},
                  {"Deleted on one side", 9}};
  for (const auto& f : kFilters)
    if (menuText == f.text) return f.number;
  return -1;
}

CFileMenus::CFileMenus(CTwinbayView* view, const FileMenuActions& actions, QObject* parent)
    : QObject(parent), view_(view), a_(actions), group_(new QActionGroup(this)) {
  a_.del->setText("Delete Selected Files\tDel");
  a_.del->setToolTip("Delete Selected Files");
  a_.del->setObjectName("deleteCommand");
  a_.selectAll->setText("Select A&ll\tCtrl+A");
  a_.selectAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
  a_.selectAll->setObjectName("selectAllCommand");
  a_.tagAll->setText("Tag all files requiring synchronization\tCtrl+T");
  a_.tagAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
  a_.tagAll->setToolTip("Tag all files requiring synchronization");
  a_.tagAll->setObjectName("tagAllCommand");
  a_.untagAll->setText("Untag all\tCtrl+U");
  a_.untagAll->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
  a_.untagAll->setToolTip("Untag all");
  a_.untagAll->setObjectName("untagAllCommand");
  a_.browseLocal->setObjectName("browseLocalCommand");
  connect(a_.del, &QAction::triggered, view_, &CTwinbayView::OnDeleteSelected);
  connect(a_.selectAll, &QAction::triggered, view_, [this] {
    if (view_->CanSelectAll()) view_->OnSelectAll();
  });
  connect(a_.tagAll, &QAction::triggered, view_, [this] { view_->OnTagAll(true); });
  connect(a_.untagAll, &QAction::triggered, view_, [this] { view_->OnTagAll(false); });

  group_->setExclusive(true);
  for (QAction* f : a_.filters) {
    const int number = FilterOf(f->text());
    f->setCheckable(true);
    f->setToolTip(f->text());
    f->setObjectName(QString("filter%1").arg(number));
    group_->addAction(f);
    connect(f, &QAction::triggered, view_, [this, number] { view_->OnSetFilter(number); });
  }
  Refresh();
}

void CFileMenus::Refresh() {
  const bool idle = !view_->IsBusy();
  a_.del->setEnabled(view_->CanDelete());
  a_.selectAll->setEnabled(view_->CanSelectAll());
  const bool tag = view_->CanTagAll();
  a_.tagAll->setEnabled(tag);
  a_.untagAll->setEnabled(tag);
  a_.browseLocal->setEnabled(view_->CanBrowseLocal());
  for (QAction* f : a_.filters) {
    f->setEnabled(idle);
    f->setChecked(FilterOf(f->text()) == view_->Filter());
  }
  view_->RefreshControlStates();
}

}  // namespace twinbay
