#include "ui/qt/Scale.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QComboBox>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <cmath>

#include "support/Log.h"
#include "ui/qt/MessageRules.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kScaleProperty = "stowScale";
constexpr const char* kGeometryProperty = "stowDesignGeometry";
constexpr const char* kFontProperty = "stowDesignFontDp";

// Whether ApplyScale looks inside `widget`: not inside controls whose parts
// Qt places itself.
bool ScalesChildren(const QWidget* widget) {
  return qobject_cast<const QAbstractScrollArea*>(widget) == nullptr &&
         qobject_cast<const QComboBox*>(widget) == nullptr &&
         qobject_cast<const QLineEdit*>(widget) == nullptr &&
         qobject_cast<const QProgressBar*>(widget) == nullptr &&
         qobject_cast<const QAbstractButton*>(widget) == nullptr;
}

void ScaleTree(QWidget* widget, int percent, bool isRoot);

void ScaleChildrenOf(QWidget* widget, int percent) {
  for (QObject* child : widget->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w != nullptr && !w->isWindow()) ScaleTree(w, percent, false);
  }
}

void ScaleTree(QWidget* widget, int percent, bool isRoot) {
  if (!isRoot) {
    QVariant design = widget->property(kGeometryProperty);
    if (!design.isValid()) {
      design = widget->geometry();
      widget->setProperty(kGeometryProperty, design);
    }
    const QRect dp = design.toRect();
    widget->setGeometry(Scaled(dp.x(), percent), Scaled(dp.y(), percent),
                        Scaled(dp.width(), percent), Scaled(dp.height(), percent));
  }
  QVariant fontDp = widget->property(kFontProperty);
  if (!fontDp.isValid() && (isRoot || widget->font().resolveMask() != 0)) {
    const int px = widget->font().pixelSize();
    fontDp = px > 0 ? px : kDefaultFontDp;
    widget->setProperty(kFontProperty, fontDp);
  }
  if (fontDp.isValid()) {
    QFont font = widget->font();
    font.setPixelSize(std::max(1, Scaled(fontDp.toInt(), percent)));
    widget->setFont(font);
  }
  if (!ScalesChildren(widget)) return;
  for (QObject* child : widget->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w == nullptr || w->isWindow()) continue;
    // A widget placed by a layout is sized by it; what it holds is scaled.
    if (widget->layout() != nullptr && widget->layout()->indexOf(w) >= 0) {
      ScaleChildrenOf(w, percent);
      continue;
    }
    ScaleTree(w, percent, false);
  }
}

// Connects a window to its screen's DPI at its first showing, when Qt has
// made its native window.
class DpiFollower final : public QObject {
 public:
  explicit DpiFollower(QWidget* window) : QObject(window), window_(window) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Show && !connected_ &&
        window_->windowHandle() != nullptr) {
      connected_ = true;
      Follow(window_->windowHandle()->screen());
      connect(window_->windowHandle(), &QWindow::screenChanged, this, [this](QScreen* screen) {
        Follow(screen);
        Apply(screen);
      });
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void Follow(QScreen* screen) {
    if (screen == nullptr) return;
    connect(screen, &QScreen::logicalDotsPerInchChanged, this, [this, screen] { Apply(screen); });
  }
  void Apply(QScreen* screen) {
    if (screen == nullptr) return;
    const double ratio = screen->devicePixelRatio();
    ApplyDpi(window_, static_cast<int>(std::lround(screen->logicalDotsPerInchX() * ratio)),
             static_cast<int>(std::lround(screen->logicalDotsPerInchY() * ratio)));
  }

  QWidget* window_;
  bool connected_ = false;
};

}  // namespace

void FollowScreenDpi(QWidget* window) { window->installEventFilter(new DpiFollower(window)); }

void ApplyDpi(QWidget* window, int dpiX, int dpiY) {
  LogDebug("------------------------------DPI from screen change dpiX=%d,dpiY=%d", dpiX, dpiY);
  ApplyScale(window, ScaleForDpi(dpiX));
}

int Scaled(int dp, int percent) { return static_cast<int>(std::lround(dp * percent / 100.0)); }

int WindowScale(const QWidget* widget) {
  const QWidget* window = widget != nullptr ? widget->window() : nullptr;
  if (window == nullptr) return 100;
  const QVariant scale = window->property(kScaleProperty);
  return scale.isValid() ? scale.toInt() : 100;
}

int Dp(const QWidget* widget, int dp) { return Scaled(dp, WindowScale(widget)); }

int ScreenScale(const QWidget* widget) {
  const QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
  if (screen == nullptr) return 100;
  const double dpi = screen->logicalDotsPerInchX() * screen->devicePixelRatio();
  return ScaleForDpi(static_cast<int>(std::lround(dpi)));
}

void ApplyScale(QWidget* root, int percent) {
  if (percent <= 0) percent = 100;
  QVariant design = root->property(kGeometryProperty);
  if (!design.isValid()) {
    design = QRect(QPoint(0, 0), root->size());
    root->setProperty(kGeometryProperty, design);
  }
  root->setProperty(kScaleProperty, percent);
  ScaleTree(root, percent, true);
  const QRect dp = design.toRect();
  if (!root->isMaximized()) {
    root->setFixedSize(Scaled(dp.width(), percent), Scaled(dp.height(), percent));
  }
  root->update();
}

void SetDesignGeometry(QWidget* widget, const QRect& dp) {
  widget->setProperty(kGeometryProperty, dp);
  const int percent = WindowScale(widget);
  if (widget->isWindow()) {
    widget->setFixedSize(Scaled(dp.width(), percent), Scaled(dp.height(), percent));
  } else {
    widget->setGeometry(Scaled(dp.x(), percent), Scaled(dp.y(), percent),
                        Scaled(dp.width(), percent), Scaled(dp.height(), percent));
  }
}

QRect DesignGeometry(const QWidget* widget) {
  const QVariant design = widget->property(kGeometryProperty);
  if (design.isValid()) return design.toRect();
  return widget->isWindow() ? QRect(QPoint(0, 0), widget->size()) : widget->geometry();
}

}  // namespace stow::ui::qt
