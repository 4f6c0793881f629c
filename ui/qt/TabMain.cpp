#include "ui/qt/TabMain.h"

#include "ui/qt/IconButton.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Texts.h"

namespace stow::ui::qt {

TabMain::TabMain(QWidget* parent) : QWidget(parent), pages_(new QStackedWidget(this)) {
  pages_->setObjectName(QStringLiteral("tab_main_pages"));
  group_.setExclusive(true);
  connect(&group_, &QButtonGroup::idClicked, this, &TabMain::SetCurSel);
}

void TabMain::AddPage(QWidget* page, const QString& title, int iconFrame) {
  const int index = Count();
  auto* tab = new SIconButton(this);
  tab->setObjectName(QStringLiteral("tab_%1").arg(page->objectName()));
  tab->setCheckable(true);
  tab->setFocusPolicy(Qt::NoFocus);
  tab->setCursor(Qt::PointingHandCursor);
  tab->SetSkin(QStringLiteral("skin.tab"));
  tab->SetIconSkin(QStringLiteral("skin.page.icons"));
  tab->SetIconFrame(iconFrame);
  tab->SetIconX(QStringLiteral("55.5dp"));
  tab->SetIconY(QStringLiteral("12dp"));
  tab->SetTextX(QStringLiteral("90.5dp"));
  tab->setProperty("textColor", QColor(Qt::white));
  SetDesignGeometry(tab, QRect(0, index * kTabHeight, kTabWidth, kTabHeight));
  SetSourceText(tab, title);
  group_.addButton(tab, index);
  tabs_.push_back(tab);

  const QRect area = DesignGeometry(this);
  SetDesignGeometry(pages_, QRect(kTabWidth, 0, area.width() - kTabWidth, area.height()));
  page->setParent(pages_);
  pages_->addWidget(page);
  if (index == 0) SetCurSel(0);
}

void TabMain::SetCurSel(int index) {
  if (index < 0 || index >= Count()) return;
  tabs_[static_cast<size_t>(index)]->setChecked(true);
  if (pages_->currentIndex() != index) {
    pages_->setCurrentIndex(index);
    emit CurrentChanged(index);
  }
}

int TabMain::CurSel() const { return pages_->currentIndex(); }

SIconButton* TabMain::Tab(int index) const {
  return index >= 0 && index < Count() ? tabs_[static_cast<size_t>(index)] : nullptr;
}

QWidget* TabMain::Page(int index) const { return pages_->widget(index); }

}  // namespace stow::ui::qt
