#include "app/startup.h"

#include <gtest/gtest.h>

namespace {

TEST(QtPlatformsToTry, NamedDisplaysFirstThenOffscreenUnlessTheUserChose) {
  const struct {
    const char* display;
    const char* wayland;
    const char* platform;
    const char* platforms;
  } rows[] = {
      {nullptr, nullptr, nullptr, "offscreen"},
      {"", "", "", "offscreen"},
      {":0", nullptr, nullptr, "xcb;offscreen"},
      {nullptr, "wayland-0", nullptr, "wayland;offscreen"},
      {":0", "wayland-0", nullptr, "wayland;xcb;offscreen"},
      {nullptr, nullptr, "xcb", ""},
      {nullptr, nullptr, "offscreen", ""},
      {"", nullptr, "minimal", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "DISPLAY=" << (row.display ? row.display : "(unset)")
                                    << " WAYLAND_DISPLAY=" << (row.wayland ? row.wayland : "(unset)")
                                    << " QT_QPA_PLATFORM=" << (row.platform ? row.platform : "(unset)"));
    EXPECT_EQ(QtPlatformsToTry(row.display, row.wayland, row.platform), row.platforms);
  }
}

}  // namespace
