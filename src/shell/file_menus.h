// The menu and toolbar commands on the compared files: Delete, Select All,
// Tag all, Untag all, the nine filters (one radio group) and Browse for
// Local Path. Sets their texts and keys, routes them to the view and applies
// their enabling rules whenever the frame refreshes its commands.
#pragma once

#include <QList>
#include <QObject>

class QAction;
class QActionGroup;

namespace twinbay {

class CTwinbayView;

struct FileMenuActions {
  QAction* del = nullptr;
  QAction* selectAll = nullptr;
  QAction* tagAll = nullptr;
  QAction* untagAll = nullptr;
  QAction* browseLocal = nullptr;
  QList<QAction*> filters;  // the Filter menu's items, in menu order
};

class CFileMenus : public QObject {
  Q_OBJECT
 public:
  CFileMenus(CTwinbayView* view, const FileMenuActions& actions, QObject* parent);
  void Refresh();
  // The filter number of a Filter menu text; -1 for none.
  static int FilterOf(const QString& menuText);

 private:
  CTwinbayView* view_;
  FileMenuActions a_;
  QActionGroup* group_;
};

}  // namespace twinbay
