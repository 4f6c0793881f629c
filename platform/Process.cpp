// The parts of the runner every system shares: the line rule and the labels.
#include "platform/Process.h"

#include "support/Enums.h"

namespace stow::platform {
namespace {

constexpr EnumLabel<RunEnd> kRunEndLabels[] = {
    {kExited, "exited"},
    {kNotAllowed, "not in the program folders"},
    {kNoPipe, "no pipe for its output"},
    {kStartFailed, "could not be started"},
    {kTimedOut, "killed after its time limit"},
    {kStopped, "killed on a stop"},
};

}  // namespace

const char* RunEndLabel(RunEnd end) { return LabelOf(kRunEndLabels, end); }

std::string RunOutcome::LastLine() const {
  constexpr const char* kBlanks = " \t";
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    const size_t first = line->find_first_not_of(kBlanks);
    if (first == std::string::npos) continue;
    return line->substr(first, line->find_last_not_of(kBlanks) + 1 - first);
  }
  return {};
}

void LineSplitter::Feed(std::string_view piece) {
  size_t start = 0;
  for (size_t i = 0; i < piece.size(); ++i) {
    if (piece[i] != '\r' && piece[i] != '\n') continue;
    const std::string_view rest = piece.substr(start, i - start);
    if (partial_.empty()) {
      if (!rest.empty()) emit_(rest);
    } else {
      partial_.append(rest);
      emit_(partial_);
      partial_.clear();
    }
    start = i + 1;
  }
  partial_.append(piece.substr(start));
}

void LineSplitter::Finish() {
  if (!partial_.empty()) emit_(partial_);
  partial_.clear();
}

}  // namespace stow::platform
