#include "ui/qt/Texts.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QWidget>

#include "support/StringTable.h"
#include "ui/framework/Dialogs.h"

namespace stow::ui::qt {
namespace {

constexpr const char* kSourceProperty = "stowTextSource";
constexpr const char* kContextProperty = "stowTrContext";
constexpr const char* kTitleProperty = "stowTitleSource";
constexpr const char* kWrapProperty = "stowWrapText";
constexpr QLatin1StringView kStringPrefix("@string/");

QString CurrentText(const QWidget* widget) {
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  return {};
}

void Show(QWidget* widget, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(text);
  }
}

void ShowSource(QWidget* widget) {
  const QString source = SourceText(widget);
  const QByteArray context = ContextOf(widget).toUtf8();
  QString text = TranslateText(context.constData(), source);
  // A message's one line break goes into the text as it is shown.
  if (widget->property(kWrapProperty).toBool()) {
    text = QString::fromStdString(WrapMessageText(text.toStdString()));
  }
  Show(widget, text);
  const QVariant tip = widget->property("stowTipSource");
  if (tip.isValid()) widget->setToolTip(TranslateText(context.constData(), tip.toString()));
}

}  // namespace

QString ResolveText(const QString& source) {
  if (!source.startsWith(kStringPrefix)) return source;
  const QByteArray id = source.mid(kStringPrefix.size()).toUtf8();
  std::string text;
  if (!FindString(std::string_view(id.constData(), static_cast<size_t>(id.size())), text)) {
    return source;
  }
  return QString::fromStdString(text);
}

QString TranslateText(const char* context, const QString& source) {
  QString text = ResolveText(source);
  if (text.isEmpty()) return text;
  return QCoreApplication::translate(context, text.toUtf8().constData());
}

void SetSourceText(QWidget* widget, const QString& source) {
  widget->setProperty(kSourceProperty, source);
  ShowSource(widget);
}

void SetWrappedSourceText(QWidget* widget, const QString& source) {
  widget->setProperty(kWrapProperty, true);
  SetSourceText(widget, source);
}

QString SourceText(const QWidget* widget) { return widget->property(kSourceProperty).toString(); }

QString ContextOf(const QWidget* widget) {
  for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
    const QVariant context = w->property(kContextProperty);
    if (context.isValid()) return context.toString();
  }
  return QStringLiteral("dlg_main");
}

void AdoptTexts(QWidget* root, const char* context) {
  root->setProperty(kContextProperty, QString::fromLatin1(context));
  if (!root->property(kTitleProperty).isValid()) {
    root->setProperty(kTitleProperty, root->windowTitle());
  }
  const auto widgets = root->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    if (w->property(kSourceProperty).isValid()) continue;
    const QString text = CurrentText(w);
    if (!text.isEmpty()) w->setProperty(kSourceProperty, text);
    if (!w->toolTip().isEmpty() && !w->property("stowTipSource").isValid()) {
      w->setProperty("stowTipSource", w->toolTip());
    }
  }
  Retranslate(root);
}

void Retranslate(QWidget* root) {
  const QByteArray context = ContextOf(root).toUtf8();
  const QVariant title = root->property(kTitleProperty);
  if (title.isValid()) root->setWindowTitle(TranslateText(context.constData(), title.toString()));
  const auto widgets = root->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    if (w->property(kSourceProperty).isValid()) ShowSource(w);
  }
}

}  // namespace stow::ui::qt
