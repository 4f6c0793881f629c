#include "ui/qt/Skins.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>
#include <memory>

// Resource initialisers of the library's .qrc files; a static library's would
// otherwise never run.
static void InitStowlineResources() {
  Q_INIT_RESOURCE(resources);
  Q_INIT_RESOURCE(languages);
}

namespace stow::ui::qt {
namespace {

QSvgRenderer* Renderer(const QString& skin) {
  static QHash<QString, std::shared_ptr<QSvgRenderer>> cache;
  auto found = cache.find(skin);
  if (found != cache.end()) return found->get();
  auto renderer = std::make_shared<QSvgRenderer>(QStringLiteral(":/images/%1.svg").arg(skin));
  if (!renderer->isValid()) renderer.reset();
  cache.insert(skin, renderer);
  return renderer.get();
}

QString ElementId(QSvgRenderer* renderer, int index, const char* group) {
  if (index < 0) return {};
  const QString id = QStringLiteral("%1%2").arg(QLatin1StringView(group)).arg(index);
  return renderer->elementExists(id) ? id : QString();
}

}  // namespace

void InitResources() { InitStowlineResources(); }

QString StyleSheet() {
  QFile file(QStringLiteral(":/style/stowline.qss"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

bool HasSkin(const QString& skin) { return !skin.isEmpty() && Renderer(skin) != nullptr; }

QSize SkinSize(const QString& skin) {
  QSvgRenderer* renderer = Renderer(skin);
  if (renderer == nullptr) return {};
  for (const char* group : {"state0", "frame0"}) {
    if (renderer->elementExists(QLatin1StringView(group))) {
      return renderer->boundsOnElement(QLatin1StringView(group)).size().toSize();
    }
  }
  return renderer->defaultSize();
}

void DrawSkin(QPainter& painter, const QString& skin, const QRectF& target, int index,
              const char* group) {
  QSvgRenderer* renderer = Renderer(skin);
  if (renderer == nullptr) return;
  const QString id = ElementId(renderer, index, group);
  if (id.isEmpty()) {
    renderer->render(&painter, target);
  } else {
    renderer->render(&painter, id, target);
  }
}

QPixmap SkinPixmap(const QString& skin, const QSize& size, qreal dpr, int index,
                   const char* group) {
  QPixmap pixmap(size * dpr);
  pixmap.setDevicePixelRatio(dpr);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawSkin(painter, skin, QRectF(QPointF(0, 0), QSizeF(size)), index, group);
  return pixmap;
}

int ButtonState(bool enabled, bool pushedOrChecked, bool hover) {
  if (!enabled) return 3;
  if (pushedOrChecked) return 2;
  if (hover) return 1;
  return 0;
}

}  // namespace stow::ui::qt
