// "tab_main": the main window's tab control with its tabs on the left, one
// under the other (240 x 50 dp each, no gap, white caption at 90 dp with the
// page's icon from "skin.page.icons" at 55, 12), and the pages to their right.
// Switching pages is all it does.
#pragma once

#include <QButtonGroup>
#include <QStackedWidget>
#include <QWidget>
#include <vector>

namespace stow::ui::qt {

class SIconButton;

class TabMain : public QWidget {
  Q_OBJECT

 public:
  explicit TabMain(QWidget* parent = nullptr);

  // Adds `page` with the caption `title` (a translation source) and the frame
  // `iconFrame` of the page icons.
  void AddPage(QWidget* page, const QString& title, int iconFrame);
  void SetCurSel(int index);
  int CurSel() const;
  int Count() const { return static_cast<int>(tabs_.size()); }
  SIconButton* Tab(int index) const;
  QWidget* Page(int index) const;

  static constexpr int kTabWidth = 240;
  static constexpr int kTabHeight = 50;

 signals:
  void CurrentChanged(int index);

 private:
  QStackedWidget* pages_;
  QButtonGroup group_;
  std::vector<SIconButton*> tabs_;
};

}  // namespace stow::ui::qt
