#include "ui/qt/ResultDialog.h"

#include <QPainter>
#include <cstdio>
#include <cstdlib>

#include "support/Log.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/Texts.h"
#include "ui_dlg_success.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kContext = "dlg_success";
constexpr int kImageSize = 64;
constexpr int kImageTop = 20;
constexpr int kFirstTop = 100;
constexpr int kFirstFontDp = 18;
constexpr int kSecondFontDp = 13;
constexpr int kTextMaxWidth = 260;

}  // namespace

SMyMessageBox::SMyMessageBox(const QString& text, const QString& caption, int scale,
                             const QString& imageSkin, QWidget* owner)
    : QDialog(owner),
      ui_(std::make_unique<Ui::dlg_success>()),
      imageSkin_(imageSkin),
      scale_(scale) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setModal(true);
  QFont first = ui_->first_msgtext->font();
  first.setPixelSize(kFirstFontDp);
  first.setBold(true);
  ui_->first_msgtext->setFont(first);
  QFont second = ui_->second_msgtext->font();
  second.setPixelSize(kSecondFontDp);
  ui_->second_msgtext->setFont(second);
  AdoptTexts(this, kContext);
  ui_->imgchoose->setProperty("skin", imageSkin);
  SetWrappedSourceText(ui_->first_msgtext, ResolveText(caption));
  SetWrappedSourceText(ui_->second_msgtext, ResolveText(text));
  connect(ui_->button1th, &QAbstractButton::clicked, this, [this] { done(kIdOk); });
  Relayout();
  LogDebug("---------------------- nScale =  %d", scale_);
  ApplyScale(this, scale_);
  FollowScreenDpi(this);
  const int px = Scaled(kImageSize, scale_);
  ui_->imgchoose->setPixmap(SkinPixmap(imageSkin_, QSize(px, px), devicePixelRatioF()));
  ui_->imgchoose->setScaledContents(true);
  if (owner != nullptr) move(owner->window()->frameGeometry().center() - rect().center());
}

SMyMessageBox::~SMyMessageBox() = default;

QSize SMyMessageBox::TextSize(const QString& text, int fontDp) const {
  QFont font = this->font();
  font.setPixelSize(fontDp);
  const QRect bounds = QFontMetrics(font).boundingRect(QRect(0, 0, kTextMaxWidth, 10000),
                                                       Qt::TextWordWrap | Qt::AlignCenter, text);
  return {bounds.width() + 2, bounds.height() + 2};
}

void SMyMessageBox::Relayout() {
  // Grown first by the caption, then by the text, as the message box grows.
  const QSize first = TextSize(ui_->first_msgtext->text(), kFirstFontDp);
  const QSize second = TextSize(ui_->second_msgtext->text(), kSecondFontDp);
  int width = kMinWidth;
  int height = kMinHeight;
  for (const QSize& s : {first, second}) {
    width = std::max(width, s.width() + kFrameRight + kFrameLeft);
    height = std::max(height, s.height() + kFrameBottom + kFrameTop);
  }
  height = std::max(height, kFirstTop + first.height() + second.height() + 110);
  designSize_ = QSize(width, height);
  SetDesignGeometry(this, QRect(0, 0, width, height));
  SetDesignGeometry(ui_->imgchoose,
                    QRect((width - kImageSize) / 2, kImageTop, kImageSize, kImageSize));
  SetDesignGeometry(ui_->first_msgtext, QRect(10, kFirstTop, width - 20, first.height()));
  const int secondTop = height - 80 - second.height();
  SetDesignGeometry(ui_->second_msgtext, QRect(10, secondTop, width - 20, second.height()));
  SetDesignGeometry(ui_->button1th, QRect((width - 100) / 2, height - 50, 100, 32));
}

void SMyMessageBox::reject() { done(kIdOk); }

void SMyMessageBox::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) Retranslate(this);
  QDialog::changeEvent(event);
}

void SMyMessageBox::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawSkin(painter, QStringLiteral("skin.success.bg"), QRectF(rect()));
}

int ShowResultDialog(const QString& text, const QString& caption, int scale,
                     const QString& imageSkin, QWidget* owner) {
  if (std::getenv(kUnattendedVariable) != nullptr) {
    std::fprintf(stderr, "%s: %s\n", TranslateText(kContext, caption).toUtf8().constData(),
                 TranslateText(kContext, text).toUtf8().constData());
    return kIdOk;
  }
  SMyMessageBox box(text, caption, scale, imageSkin, owner);
  box.exec();
  return kIdOk;
}

}  // namespace stow::ui::qt
