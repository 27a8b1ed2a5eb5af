// A text that acts as a web link: blue and underlined, purple once opened,
// teal with the keyboard focus; a hand cursor, the target as tool tip; a click
// or the space bar opens the target with the desktop's default handler.
#pragma once

#include <QLabel>
#include <QUrl>

namespace twinbay {

class CHyperLink : public QLabel {
  Q_OBJECT
 public:
  // Option bits; the default set is underline, fit to text, focus on click.
  enum Option : unsigned {
    Underline = 0x01,
    UseHoverColour = 0x02,
    FitToText = 0x04,
    OpenOnButtonDown = 0x08,
    FocusOnClick = 0x10,
    NoHandCursor = 0x20,
    NoFocusColour = 0x40,
  };
  static constexpr unsigned kDefaultOptions = Underline | FitToText | FocusOnClick;

  static const QColor kUnvisited, kVisited, kFocus, kHover;

  // An empty url takes the text as the target; an empty text shows the url.
  explicit CHyperLink(const QString& text = {}, const QString& url = {}, QWidget* parent = nullptr);

  void SetUrl(const QString& url);
  const QString& Url() const { return url_; }
  bool Visited() const { return visited_; }
  unsigned Options() const { return options_; }
  void SetOptions(unsigned options);
  // The colour the text is drawn in now.
  QColor CurrentColour() const;

  // Opens the target; on failure says why in a message box. True on success.
  bool Open();

  // The explanation of a failure code (shown after "Can't open link:\n\n").
  static QString ErrorText(int code);
  // Opens a target with the desktop's handler: a code above 32 on success,
  // otherwise the reason (2 no such file, 31 no handler for it).
  static int OpenTarget(const QString& url);

 signals:
  void Opened(const QString& url);

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;

 private:
  void UpdateLook();

  bool focus_ = false, over_ = false, pressed_ = false, visited_ = false;
  unsigned options_ = kDefaultOptions;
  QString url_;
};

}  // namespace twinbay
