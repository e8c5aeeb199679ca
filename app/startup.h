#pragma once

#include <functional>
#include <string>

// The Qt platforms to try, in order, unless the user chose one (then empty). With no X or
// Wayland display named, only the offscreen one; with a display named, that display first and
// offscreen after it, so a display that cannot be reached (a stale DISPLAY over ssh) still leaves
// a running server. Empty values count as unset.
std::string QtPlatformsToTry(const char* display, const char* waylandDisplay,
                             const char* qpaPlatform);

// Takes SIGINT, SIGTERM and SIGHUP (unless ignored) from now on; they wait for
// WhenInterruptedOrTerminated. Called before
// Qt starts, so that a signal during its start-up is not lost.
void CatchInterruptAndTerminate();

// Calls end from the event loop once one of those signals has come (at its first pass if one came
// already). A signal handler may not close the serial port; the event loop may.
void WhenInterruptedOrTerminated(std::function<void()> end);
