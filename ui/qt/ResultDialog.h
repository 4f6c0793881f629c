// SMyMessageBox: the dialog that ends every task ("dlg_success"): a picture
// (the success animation or the error tip), the caption in white on the
// picture's band and the text below it, each wrapped by the message rule and
// translated in the context "dlg_success"; it grows to fit both, never below
// 320 x 260 dp, and ends with 1 (its only button, "button1th").
#pragma once

#include <QDialog>
#include <QString>
#include <memory>

#include "ui/framework/Dialogs.h"

namespace Ui {
class dlg_success;
}

namespace stow::ui::qt {

class SMyMessageBox : public QDialog {
  Q_OBJECT

 public:
  SMyMessageBox(const QString& text, const QString& caption, int scale, const QString& imageSkin,
                QWidget* owner = nullptr);
  ~SMyMessageBox() override;

  QSize DesignSize() const { return designSize_; }

  static constexpr int kMinWidth = 320;
  static constexpr int kMinHeight = 260;
  static constexpr int kFrameLeft = 40;
  static constexpr int kFrameTop = 40;
  static constexpr int kFrameRight = 20;
  static constexpr int kFrameBottom = 60;

  void reject() override;

 protected:
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QSize TextSize(const QString& text, int fontDp) const;
  void Relayout();

  std::unique_ptr<Ui::dlg_success> ui_;
  QString imageSkin_;
  int scale_;
  QSize designSize_;
};

// Shows the result of a task; modal; always returns 1.
int ShowResultDialog(const QString& text, const QString& caption, int scale,
                     const QString& imageSkin, QWidget* owner = nullptr);

}  // namespace stow::ui::qt
