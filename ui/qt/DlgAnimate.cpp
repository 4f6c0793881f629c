#include "ui/qt/DlgAnimate.h"

#include "ui/qt/MessageRules.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui_dlg_animate.h"

namespace stow::ui::qt {

SDlgAnimate::SDlgAnimate(int scale) : ui_(std::make_unique<Ui::dlg_animate>()) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  // The picture centred, shifted by -0.5 of its width and -0.44 of its height.
  const QString skin = QStringLiteral("skin_start_ani");
  const QSize image = SkinSize(skin);
  SetDesignGeometry(ui_->img_start_ani,
                    QRect(350 - image.width() / 2, 300 - image.height() * 44 / 100, image.width(),
                          image.height()));
  ApplyScale(this, scale);
  ui_->img_start_ani->setPixmap(SkinPixmap(skin, ui_->img_start_ani->size(), devicePixelRatioF()));
}

SDlgAnimate::~SDlgAnimate() = default;

}  // namespace stow::ui::qt
