// Sizes in device-independent units ("dp") and the scale in percent that turns
// them into pixels. A window and its dialogs carry their own scale, taken from
// the screen's DPI through ScaleForDpi, as the design's DirectUI windows did:
// Qt's automatic high-DPI scaling is switched off at start-up, so the one scale
// applied is the window's.
#pragma once

#include <QRect>

class QWidget;

namespace stow::ui::qt {

// The scale of the window that holds `widget` (100 when none was given).
int WindowScale(const QWidget* widget);
// `dp` units at the scale of the window that holds `widget`.
int Dp(const QWidget* widget, int dp);
int Scaled(int dp, int percent);

// The scale of the screen that shows `widget`: its DPI through ScaleForDpi.
int ScreenScale(const QWidget* widget);

// From its first showing on, `window` takes the scale of the DPI of the screen
// it is on whenever that DPI, or its screen, changes.
void FollowScreenDpi(QWidget* window);
// The scale for a DPI change to `dpiX` (logged as the design's trace line).
void ApplyDpi(QWidget* window, int dpiX, int dpiY);

// Gives `root` the scale `percent`: `root` and every widget of its forms take
// their designed geometry (remembered on the first call) and font size times
// percent / 100. Widgets inside a Qt layout or a compound control (a list, a
// combo box) are left to those.
void ApplyScale(QWidget* root, int percent);
// Forgets the designed geometry of `widget`, after code placed it anew in dp.
void SetDesignGeometry(QWidget* widget, const QRect& dp);
QRect DesignGeometry(const QWidget* widget);

// The default font size of the windows, in dp.
inline constexpr int kDefaultFontDp = 14;

}  // namespace stow::ui::qt
