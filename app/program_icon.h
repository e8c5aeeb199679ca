#pragma once

#include <QIcon>

// The program's icon, as packaging/simple-kova.svg draws it: a position fix, a ring with cross
// hairs around a marked point. Painted here, so the window has it without an SVG image plugin.
QIcon ProgramIcon();
