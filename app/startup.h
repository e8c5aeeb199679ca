#pragma once

#include <string>

// The Qt platforms to try, in order, unless the user chose one (then empty). With no X or
// Wayland display named, only the offscreen one; with a display named, that display first and
// offscreen after it, so a display that cannot be reached (a stale DISPLAY over ssh) still leaves
// a running server. Empty values count as unset.
std::string QtPlatformsToTry(const char* display, const char* waylandDisplay,
                             const char* qpaPlatform);

// SIGINT and SIGTERM end the program at once with status 0, as closing the window does.
void EndOnInterruptOrTerminate();
