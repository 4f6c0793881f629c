// SDlgAbout: the about dialog ("dlg_about"): the version, the product line of
// the string table, the home page as a link and the legal notice, in the
// context "dlg_about"; OK and the caption's close button end it with 1.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class dlg_about;
}

namespace stow::ui::qt {

class SDlgAbout : public QDialog {
  Q_OBJECT

 public:
  explicit SDlgAbout(int scale, QWidget* owner = nullptr);
  ~SDlgAbout() override;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  std::unique_ptr<Ui::dlg_about> ui_;
};

}  // namespace stow::ui::qt
