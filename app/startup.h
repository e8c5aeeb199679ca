#pragma once

// True where there is no screen to show the window on: neither an X nor a Wayland display is
// named and no Qt platform was chosen. Empty values count as unset.
bool ShouldRunOffscreen(const char* display, const char* waylandDisplay, const char* qpaPlatform);

// SIGINT and SIGTERM end the program at once with status 0, as closing the window does.
void EndOnInterruptOrTerminate();
