#include "app/startup.h"

#include <gtest/gtest.h>

namespace {

TEST(ShouldRunOffscreen, OnlyWithNoDisplayAndNoChosenPlatform) {
  const struct {
    const char* display;
    const char* wayland;
    const char* platform;
    bool offscreen;
  } rows[] = {
      {nullptr, nullptr, nullptr, true},
      {"", "", "", true},
      {":0", nullptr, nullptr, false},
      {nullptr, "wayland-0", nullptr, false},
      {":0", "wayland-0", nullptr, false},
      {nullptr, nullptr, "xcb", false},
      {nullptr, nullptr, "offscreen", false},
      {"", nullptr, "minimal", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "DISPLAY=" << (row.display ? row.display : "(unset)")
                                    << " WAYLAND_DISPLAY=" << (row.wayland ? row.wayland : "(unset)")
                                    << " QT_QPA_PLATFORM=" << (row.platform ? row.platform : "(unset)"));
    EXPECT_EQ(ShouldRunOffscreen(row.display, row.wayland, row.platform), row.offscreen);
  }
}

}  // namespace
