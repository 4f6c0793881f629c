#include "ui/pages/TaskPhase.h"

namespace stow::ui {

TaskPhase& ProcessTaskPhase() {
  static TaskPhase phase;
  return phase;
}

}  // namespace stow::ui
