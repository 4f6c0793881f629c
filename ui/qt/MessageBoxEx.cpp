#include "ui/qt/MessageBoxEx.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QWindow>
#include <cstdio>
#include <cstdlib>

#include "support/Log.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"
#include "ui/qt/Texts.h"
#include "ui_dlg_msgbox.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kContext = "messagebox";
constexpr const char* kResultProperty = "stowResult";
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 30;

MessageBoxAnswer& TestAnswer() {
  static MessageBoxAnswer answer;
  return answer;
}

int DefaultAnswer(int type) {
  const auto buttons = MessageBoxButtons(type);
  for (const auto& b : buttons) {
    if (b.result == kIdOk) return kIdOk;
  }
  return buttons.empty() ? kIdOk : buttons.front().result;
}

QString ButtonLabel(const char* key) {
  QString translated = QCoreApplication::translate(kContext, key);
  if (translated != QLatin1StringView(key)) return translated;
  return TranslateText(kContext, QString::fromLatin1(ButtonText(key)));
}

}  // namespace

SMessageBoxEx::SMessageBoxEx(const QString& text, const QString& caption, int type, int scale,
                             QWidget* owner)
    : QDialog(owner), ui_(std::make_unique<Ui::dlg_msgbox>()), scale_(scale) {
  ui_->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_TranslucentBackground);
  setObjectName(QStringLiteral("dlg_msgbox"));
  AdoptTexts(this, kContext);
  SetUpButtons(type);
  connect(ui_->btn_close_box, &QAbstractButton::clicked, this, [this] { done(kIdCancel); });

  SetSourceText(ui_->msgtitle, caption.isEmpty() ? QStringLiteral("prompt") : caption);
  // Translated first, then given its line break, so that a long message finds
  // its translation.
  text_ = ResolveText(text);
  SetWrappedSourceText(ui_->msgtext, text_);

  const QString icon = QString::fromStdString(MessageBoxIcon(type));
  for (QLabel* label : {ui_->skin_icon_information, ui_->skin_icon_question,
                        ui_->skin_icon_exclamation, ui_->skin_icon_hand}) {
    label->setVisible(label->objectName() == icon);
    label->setProperty("stowSkin", label->objectName());
  }
  ui_->msgicon->setVisible(false);
  iconShown_ = !icon.isEmpty();
  Relayout();
  LogDebug("---------------------- nScale =  %d", scale_);
  ApplyScale(this, scale_);
  FollowScreenDpi(this);
  for (QLabel* label : {ui_->skin_icon_information, ui_->skin_icon_question,
                        ui_->skin_icon_exclamation, ui_->skin_icon_hand}) {
    const int px = Scaled(kIconSize, scale_);
    label->setPixmap(SkinPixmap(label->objectName(), QSize(px, px), devicePixelRatioF()));
    label->setScaledContents(true);  // follows a later change of scale
  }
  if (owner != nullptr) {
    const QRect around = owner->window()->frameGeometry();
    move(around.center() - rect().center());
  }
}

SMessageBoxEx::~SMessageBoxEx() = default;

void SMessageBoxEx::SetUpButtons(int type) {
  const auto buttons = MessageBoxButtons(type);
  buttonCount_ = static_cast<int>(buttons.size());
  QWidget* pages[] = {ui_->btn_page_one, ui_->btn_page_two, ui_->btn_page_three};
  QAbstractButton* controls[3][3] = {
      {ui_->one_button1st, nullptr, nullptr},
      {ui_->two_button1st, ui_->two_button2nd, nullptr},
      {ui_->three_button1st, ui_->three_button2nd, ui_->three_button3rd}};
  static const char* const kNames[] = {"button1st", "button2nd", "button3rd"};
  for (int page = 0; page < 3; ++page) {
    for (int i = 0; i <= page; ++i) controls[page][i]->setObjectName(QLatin1StringView(kNames[i]));
  }
  if (buttonCount_ == 0) return;
  const int page = buttonCount_ - 1;
  ui_->btnSwitch->setCurrentWidget(pages[page]);
  for (int i = 0; i < buttonCount_; ++i) {
    QAbstractButton* button = controls[page][i];
    const int result = buttons[static_cast<size_t>(i)].result;
    button->setProperty(kResultProperty, result);
    SetSourceText(button, ButtonLabel(buttons[static_cast<size_t>(i)].key));
    button->setProperty("stowButtonKey", QLatin1StringView(buttons[static_cast<size_t>(i)].key));
    connect(button, &QAbstractButton::clicked, this, [this, result] { done(result); });
  }
  // The left button of two is the cancel look, the right one the normal look.
  if (buttonCount_ == 2) {
    controls[1][0]->setProperty("skin", QStringLiteral("skin.btn.cancel"));
    controls[1][0]->setProperty("textColor", QColor(0x02, 0x80, 0xff));
  }
}

QAbstractButton* SMessageBoxEx::Button(int position) const {
  if (position < 0 || position >= buttonCount_) return nullptr;
  QWidget* page = ui_->btnSwitch->currentWidget();
  static const char* const kNames[] = {"button1st", "button2nd", "button3rd"};
  return page->findChild<QAbstractButton*>(QLatin1StringView(kNames[position]));
}

int SMessageBoxEx::ResultOf(const QAbstractButton* button) {
  return button != nullptr ? button->property(kResultProperty).toInt() : 0;
}

void SMessageBoxEx::Relayout() {
  // The text's desired size at the designed font size, at most 300 dp wide.
  QFont font = ui_->msgtext->font();
  font.setPixelSize(kDefaultFontDp);
  const QFontMetrics metrics(font);
  const QRect bounds = metrics.boundingRect(QRect(0, 0, kTextMaxWidth, 10000),
                                            Qt::TextWordWrap | Qt::AlignLeft, ui_->msgtext->text());
  const int textW = std::min(bounds.width() + 2, kTextMaxWidth);
  const int textH = bounds.height() + 2;
  const int textLeft = iconShown_ ? kIconLeft + kIconSize + 5 : kFrameLeft;
  const int width = std::max(kMinWidth, textW + kFrameRight + textLeft);
  const int height = std::max(kMinHeight, textH + kFrameBottom + kFrameTop);
  designSize_ = QSize(width, height);

  SetDesignGeometry(this, QRect(0, 0, width, height));
  SetDesignGeometry(ui_->frame, QRect(0, 0, width, height));
  SetDesignGeometry(ui_->msgcaption, QRect(0, 0, width, kCaptionHeight));
  SetDesignGeometry(ui_->msgtitle, QRect(12, 0, width - 60, kCaptionHeight));
  SetDesignGeometry(ui_->btn_close_box, QRect(width - 30, 3, 24, 24));
  const int contentTop = kCaptionHeight;
  const int contentHeight = height - kCaptionHeight - kButtonBarHeight;
  const int iconTop = contentTop + (contentHeight - kIconSize) / 2;
  for (QLabel* label : {ui_->msgicon, ui_->skin_icon_information, ui_->skin_icon_question,
                        ui_->skin_icon_exclamation, ui_->skin_icon_hand}) {
    SetDesignGeometry(label, QRect(kIconLeft, iconTop, kIconSize, kIconSize));
  }
  SetDesignGeometry(ui_->msgtext,
                    QRect(textLeft, contentTop + (contentHeight - textH) / 2, textW, textH));
  SetDesignGeometry(ui_->btnSwitch, QRect(0, height - kButtonBarHeight, width, kButtonBarHeight));
  const int buttonTop = (kButtonBarHeight - kButtonHeight) / 2;
  SetDesignGeometry(ui_->one_button1st,
                    QRect(width - 20 - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight));
  SetDesignGeometry(ui_->two_button1st,
                    QRect(width - 30 - 2 * kButtonWidth, buttonTop, kButtonWidth, kButtonHeight));
  SetDesignGeometry(ui_->two_button2nd,
                    QRect(width - 20 - kButtonWidth, buttonTop, kButtonWidth, kButtonHeight));
  const int threeLeft = (width - 3 * kButtonWidth - 20) / 2;
  SetDesignGeometry(ui_->three_button1st, QRect(threeLeft, buttonTop, kButtonWidth, kButtonHeight));
  SetDesignGeometry(ui_->three_button2nd,
                    QRect(threeLeft + kButtonWidth + 10, buttonTop, kButtonWidth, kButtonHeight));
  SetDesignGeometry(ui_->three_button3rd, QRect(threeLeft + 2 * (kButtonWidth + 10), buttonTop,
                                                kButtonWidth, kButtonHeight));
  for (QWidget* page : {ui_->btn_page_one, ui_->btn_page_two, ui_->btn_page_three}) {
    SetDesignGeometry(page, QRect(0, 0, width, kButtonBarHeight));
  }
}

void SMessageBoxEx::reject() { done(kIdCancel); }

void SMessageBoxEx::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) Retranslate(this);
  QDialog::changeEvent(event);
}

void SMessageBoxEx::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && event->position().y() < Dp(this, kCaptionHeight) &&
      windowHandle() != nullptr) {
    windowHandle()->startSystemMove();
  }
  QDialog::mousePressEvent(event);
}

void SetMessageBoxAnswerForTesting(MessageBoxAnswer answer) { TestAnswer() = std::move(answer); }

int ShowMessageBox(const QString& text, const QString& caption, int type, int scale,
                   QWidget* owner) {
  if (TestAnswer()) {
    const QString wrapped =
        QString::fromStdString(WrapMessageText(ResolveText(text).toStdString()));
    return TestAnswer()(wrapped, caption, type);
  }
  if (std::getenv(kUnattendedVariable) != nullptr) {
    std::fprintf(stderr, "%s: %s\n", TranslateText(kContext, caption).toUtf8().constData(),
                 TranslateText(kContext, text).toUtf8().constData());
    return DefaultAnswer(type);
  }
  SMessageBoxEx box(text, caption, type, scale, owner);
  return box.exec();
}

}  // namespace stow::ui::qt
