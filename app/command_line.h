#pragma once

#include <cstdio>
#include <optional>

// Answers --version and --help and refuses every other argument, so that none reaches Qt.
// Returns the exit status when the program is to end here, nothing when it is to run.
std::optional<int> AnswerCommandLine(int argc, const char* const argv[], std::FILE* out,
                                     std::FILE* err);
