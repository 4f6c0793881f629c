#include "ui/qt/DlgAbout.h"

#include "support/Log.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/Texts.h"
#include "ui_dlg_about.h"

namespace stow::ui::qt {

SDlgAbout::SDlgAbout(int scale, QWidget* owner)
    : QDialog(owner), ui_(std::make_unique<Ui::dlg_about>()) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setModal(true);
  const QString url = ResolveText(QStringLiteral("@string/home_url"));
  ui_->link_home->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()));
  ui_->link_home->setProperty("class", QStringLiteral("cls_btn_weblink"));
  for (QWidget* small :
       {static_cast<QWidget*>(ui_->link_home), static_cast<QWidget*>(ui_->txt_legal)}) {
    QFont font = small->font();
    font.setPixelSize(12);
    small->setFont(font);
  }
  AdoptTexts(this, "dlg_about");
  connect(ui_->btn_close_about, &QAbstractButton::clicked, this, [this] { done(kIdOk); });
  connect(ui_->btn_ok_about, &QAbstractButton::clicked, this, [this] { done(kIdOk); });
  LogDebug("---------------------- nScale =  %d", scale);
  ApplyScale(this, scale);
  FollowScreenDpi(this);
  const int px = Scaled(48, scale);
  ui_->about_logo->setPixmap(
      SkinPixmap(QStringLiteral("skin_logo"), QSize(px, px), devicePixelRatioF()));
  ui_->about_logo->setScaledContents(true);
  if (owner != nullptr) move(owner->window()->frameGeometry().center() - rect().center());
}

SDlgAbout::~SDlgAbout() = default;

void SDlgAbout::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) Retranslate(this);
  QDialog::changeEvent(event);
}

}  // namespace stow::ui::qt
