// Scoped enums as results: the number an enumerator stands for, where it leaves
// the program or is shown, and the tables of log labels kept beside an enum
// (one table per enum; a user's message comes from the string table instead).
#pragma once

#include <cstddef>
#include <type_traits>

namespace stow {

template <typename E>
  requires std::is_enum_v<E>
constexpr std::underlying_type_t<E> ToInt(E value) {
  return static_cast<std::underlying_type_t<E>>(value);
}

template <typename E>
struct EnumLabel {
  E value;
  const char* text;
};

// The text of `value` in `labels`; `fallback` when no row names it.
template <typename E, size_t N>
constexpr const char* LabelOf(const EnumLabel<E> (&labels)[N], E value,
                              const char* fallback = "unknown") {
  for (const EnumLabel<E>& label : labels) {
    if (label.value == value) return label.text;
  }
  return fallback;
}

}  // namespace stow
