// Text that comes from a server or the disk (replies, folder and file names)
// is shown as it is: never read as markup, whatever it looks like.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QString>
#include <QTextDocument>

namespace twinbay {

// A tool tip showing `text` literally (tips are read as markup when they
// look like it).
inline QString PlainTip(const QString& text) {
  return text.isEmpty() ? text : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

// Every text of the box (main and informative) as plain text; call once the
// texts are set.
inline void MakePlain(QMessageBox& box) {
  box.setTextFormat(Qt::PlainText);
  for (QLabel* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
}

// A warning box whose text is shown literally.
inline void PlainWarning(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Warning, "Twinbay", text, QMessageBox::Ok, parent);
  MakePlain(box);
  box.exec();
}

}  // namespace twinbay
