#include "support/Format.h"

#include <gtest/gtest.h>

#include <string>

namespace stow {
namespace {

// Details of task errors name paths and records; a long path must not be cut.
TEST(FormatString, KeepsTheWholeTextWhateverItsLength) {
  EXPECT_EQ(FormatString("record %u: %s", 37u, "its run list is damaged"),
            "record 37: its run list is damaged");
  EXPECT_EQ(FormatString("%s", ""), "");
  const std::string path(5000, 'p');
  const std::string text = FormatString("the image %s cannot be read", path.c_str());
  EXPECT_EQ(text.size(), path.size() + 25);
  EXPECT_EQ(text, "the image " + path + " cannot be read");
}

}  // namespace
}  // namespace stow
