// The skins: the program's own images, SVG drawings compiled in under
// ":/images/<skin>.svg" and named after the skins that use them
// ("skin_icon_hand", "skin.tile.icon1"). A skin with states (a caption button's
// normal, hover, pushed and disabled looks) holds one group per state, with the
// ids "state0" to "state3"; a strip of icons ("skin.page.icons") holds the ids
// "frame0", "frame1" ... Colours and the plain backgrounds are the style sheet's
// (":/style/stowline.qss").
#pragma once

#include <QPixmap>
#include <QRect>
#include <QSize>
#include <QString>

class QPainter;

namespace stow::ui::qt {

// Registers the compiled-in resources of the window's library.
void InitResources();

// The style sheet of every window.
QString StyleSheet();

// True when the skin exists.
bool HasSkin(const QString& skin);
// The skin's designed size in dp (one state or frame of it).
QSize SkinSize(const QString& skin);
// Draws state or frame `index` of `skin` into `target`; a skin without that
// state draws whole. A state of -1 draws the skin whole.
void DrawSkin(QPainter& painter, const QString& skin, const QRectF& target, int index = -1,
              const char* group = "state");
// The skin drawn at `size` pixels for a device pixel ratio of `dpr`.
QPixmap SkinPixmap(const QString& skin, const QSize& size, qreal dpr = 1.0, int index = -1,
                   const char* group = "state");

// State index of a button: disabled 3, pushed or checked 2, hover 1, normal 0.
int ButtonState(bool enabled, bool pushedOrChecked, bool hover);

}  // namespace stow::ui::qt
