// The progress controls of a page and how a progress step shows on them; the
// same for the copy, backup and restore pages, which differ only in the
// controls' suffix and the percentage format (tasks/ProgressStep.h).
#pragma once

#include <string>

#include "tasks/ProgressStep.h"
#include "ui/framework/Page.h"

namespace stow::ui {

struct ProgressControls {
  std::string bar;        // "prog_<page>"
  std::string text;       // "prog_text_<page>": the percentage, or a status text
  std::string total;      // "text_total_size_<page>"
  std::string elapsed;    // "text_had_used_time_<page>"
  std::string done;       // "text_had_copyed_size_<page>"
  std::string remaining;  // "text_leave_time_<page>"
};

// The controls of the page whose names end in `suffix` ("copy", "backup", "restore").
ProgressControls ProgressControlsFor(const std::string& suffix);

// Shows one tick: the four texts, the percentage (repainted at once) and the bar.
void ShowProgress(Page& page, const ProgressControls& controls, const tasks::ProgressView& view);

// Sets `control`'s text, when the page has it, and repaints it.
void SetPageText(Page& page, const std::string& control, const std::string& text);
// Enables or disables `control`, when the page has it.
void EnablePageControl(Page& page, const std::string& control, bool enabled);

}  // namespace stow::ui
