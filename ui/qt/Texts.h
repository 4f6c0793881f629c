// The visible texts of the windows. A text in a form or set by code is a
// source: either the English text itself or "@string/" and an identifier of the
// string table. It is shown translated in the translation context of its
// window ("dlg_main", "messagebox", "dlg_success", "dlg_about"), and shown
// again, translated anew, whenever the language changes.
#pragma once

#include <QString>

class QWidget;

namespace stow::ui::qt {

// "@string/id" -> the string table's text of id; any other source as it is.
QString ResolveText(const QString& source);
// The source resolved, then translated in `context`.
QString TranslateText(const char* context, const QString& source);

// Gives `widget` (a label or button) the text `source`, translated in the
// context of its window; it follows later language changes.
void SetSourceText(QWidget* widget, const QString& source);
// The same for a message: the translated text gets the message boxes' one
// line break (WrapMessageText).
void SetWrappedSourceText(QWidget* widget, const QString& source);
// The source that `widget` shows; empty when it shows none.
QString SourceText(const QWidget* widget);

// Takes the texts of every label, button and window title under `root` (as the
// form gave them) as their sources, and names the window's context.
void AdoptTexts(QWidget* root, const char* context);
// Shows every source under `root` again in the current language.
void Retranslate(QWidget* root);
// The context of the window that holds `widget`.
QString ContextOf(const QWidget* widget);

}  // namespace stow::ui::qt
