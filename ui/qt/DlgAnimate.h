// SDlgAnimate: the start screen ("dlg_animate"), 700 x 600 dp without caption,
// showing the start picture "skin_start_ani" while the main window gets ready.
// It is shown without owner and closed by the main window once it shows itself.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class dlg_animate;
}

namespace stow::ui::qt {

class SDlgAnimate : public QDialog {
  Q_OBJECT

 public:
  explicit SDlgAnimate(int scale = 100);
  ~SDlgAnimate() override;

 private:
  std::unique_ptr<Ui::dlg_animate> ui_;
};

}  // namespace stow::ui::qt
