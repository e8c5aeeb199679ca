#include "app/command_line.h"

#include <string_view>

#include "kova_version.h"

namespace {

constexpr int StatusUsage = 2;

constexpr const char* Help =
    "Usage: simple-kova [--help | --version]\n"
    "Finds a GPS receiver on a serial port (COM1 to COM32), shows its position in a small\n"
    "window and answers position queries on TCP port 2947. COMn is the device that the link\n"
    "$XDG_DATA_HOME/simple-kova/ports/COMn points to (~/.local/share by default); without that\n"
    "folder, the host's serial devices in turn. Without a display it runs headless.\n"
    "See simple-kova(1).\n";

}  // namespace

std::optional<int> AnswerCommandLine(int argc, const char* const argv[], std::FILE* out,
                                     std::FILE* err) {
  if (argc <= 1) return std::nullopt;
  const std::string_view first = argv[1];
  if (argc == 2 && first == "--version") {
    std::fprintf(out, "simple-kova %d.%d.%d\n", kova::version::Major, kova::version::Minor,
                 kova::version::Revision);
    return 0;
  }
  if (argc == 2 && first == "--help") {
    std::fputs(Help, out);
    return 0;
  }
  const bool firstKnown = first == "--version" || first == "--help";
  std::fprintf(err, "simple-kova: unexpected argument '%s' (simple-kova --help lists the ones it takes)\n",
               argv[firstKnown ? 2 : 1]);
  return StatusUsage;
}
