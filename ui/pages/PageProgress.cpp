#include "ui/pages/PageProgress.h"

namespace stow::ui {

ProgressControls ProgressControlsFor(const std::string& suffix) {
  return {"prog_" + suffix,
          "prog_text_" + suffix,
          "text_total_size_" + suffix,
          "text_had_used_time_" + suffix,
          "text_had_copyed_size_" + suffix,
          "text_leave_time_" + suffix};
}

void SetPageText(Page& page, const std::string& control, const std::string& text) {
  if (Control* found = page.Find(control)) {
    found->SetText(text);
    found->Update();
  }
}

void EnablePageControl(Page& page, const std::string& control, bool enabled) {
  if (Control* found = page.Find(control)) found->SetEnabled(enabled);
}

void ShowProgress(Page& page, const ProgressControls& controls, const tasks::ProgressView& view) {
  SetPageText(page, controls.elapsed, view.elapsedText);
  SetPageText(page, controls.remaining, view.remainingText);
  SetPageText(page, controls.done, view.doneText);
  SetPageText(page, controls.total, view.totalText);
  SetPageText(page, controls.text, view.percentText);
  if (ProgressBar* bar = page.FindProgressBar(controls.bar)) bar->SetValue(view.percent);
}

}  // namespace stow::ui
