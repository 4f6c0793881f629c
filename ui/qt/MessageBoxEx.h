// SMessageBoxEx: the one message box of the program ("dlg_msgbox"), and
// ShowMessageBox, the way every question and notice is asked. The button set
// and the icon come from the type (MessageRules.h); the text gets its one line
// break, is translated in the context "messagebox", and the box grows to fit
// it, never below 390 x 252 dp; the whole box then takes the given scale.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

namespace Ui {
class dlg_msgbox;
}
class QAbstractButton;

namespace stow::ui::qt {

class SMessageBoxEx : public QDialog {
  Q_OBJECT

 public:
  // `caption` empty: the title reads "prompt".
  SMessageBoxEx(const QString& text, const QString& caption, int type, int scale,
                QWidget* owner = nullptr);
  ~SMessageBoxEx() override;

  // The button of the shown set at `position` (0 = "button1st"); nullptr past the set.
  QAbstractButton* Button(int position) const;
  // The button's result id, as it ends the dialog.
  static int ResultOf(const QAbstractButton* button);
  int Scale() const { return scale_; }
  // The designed (unscaled) size the text asked for.
  QSize DesignSize() const { return designSize_; }

  static constexpr int kMinWidth = 390;
  static constexpr int kMinHeight = 252;
  static constexpr int kFrameLeft = 40;
  static constexpr int kFrameTop = 40;
  static constexpr int kFrameRight = 20;
  static constexpr int kFrameBottom = 60;
  static constexpr int kCaptionHeight = 30;
  static constexpr int kButtonBarHeight = 50;
  static constexpr int kIconLeft = 15;
  static constexpr int kIconSize = 32;
  static constexpr int kTextMaxWidth = 300;

  // Escape and the caption's close button answer Cancel.
  void reject() override;

 protected:
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void SetUpButtons(int type);
  void Relayout();

  std::unique_ptr<Ui::dlg_msgbox> ui_;
  QString text_;
  int scale_;
  int buttonCount_ = 0;
  bool iconShown_ = false;
  QSize designSize_;
};

// Asks or tells the user: modal, returns the id of the button that closed the
// box (kIdOk, kIdCancel ...). `owner` gives the box its place; `scale` its size.
int ShowMessageBox(const QString& text, const QString& caption, int type, int scale,
                   QWidget* owner = nullptr);

// Tests answer the boxes themselves: while set, ShowMessageBox calls `answer`
// with the text (wrapped), caption and type instead of showing a box.
using MessageBoxAnswer = std::function<int(const QString& text, const QString& caption, int type)>;
void SetMessageBoxAnswerForTesting(MessageBoxAnswer answer);

// With the environment variable STOWLINE_UNATTENDED set, a box is not shown:
// its caption and text go to standard error and it is answered with its OK
// button (or its first). Scripts that start the window rely on this.
inline constexpr const char* kUnattendedVariable = "STOWLINE_UNATTENDED";

}  // namespace stow::ui::qt
