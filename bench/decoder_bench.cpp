// Lines per second through the decoder over the real receiver logs, with a window that does
// nothing. Usage: decoder_bench [directory of .nmea files]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "nmea/decoder.h"

// Counts heap allocations, to show that steady decoding makes none.
namespace {
long g_allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Every line of every .nmea file, ended with CR LF as the framing hands it over.
std::vector<std::string> ReadLines(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().extension() == ".nmea") files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line + "\r\n");
    }
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path directory =
      argc > 1 ? argv[1] : std::filesystem::path(KOVA_SOURCE_DIR) / "../shared/nmea-samples";
  const std::vector<std::string> lines = ReadLines(directory);
  if (lines.empty()) {
    std::fprintf(stderr, "no .nmea lines found in %s\n", directory.c_str());
    return 1;
  }

  kova::PositionState position;
  const auto runRound = [&] {
    for (const std::string& line : lines) kova::DecodeSentence(line, position);
  };
  runRound();  // warms the caches

  // Rounds of about half a second each; the best one is the figure, the others show the spread.
  using Clock = std::chrono::steady_clock;
  constexpr int Rounds = 7;
  double best = 0;
  double worst = 1e300;
  long lineCount = 0;
  const long allocationsBefore = g_allocations;
  for (int round = 0; round < Rounds; ++round) {
    long passes = 0;
    const auto start = Clock::now();
    std::chrono::duration<double> elapsed{};
    do {
      runRound();
      ++passes;
      lineCount += static_cast<long>(lines.size());
      elapsed = Clock::now() - start;
    } while (elapsed.count() < 0.5);
    const double rate =
        static_cast<double>(passes) * static_cast<double>(lines.size()) / elapsed.count();
    best = std::max(best, rate);
    worst = std::min(worst, rate);
  }
  std::printf("decoder: %zu lines per pass, %d rounds of 0.5 s\n", lines.size(), Rounds);
  std::printf("decoder: best %.0f lines/s, worst %.0f lines/s\n", best, worst);
  std::printf("decoder: %ld heap allocations over %ld timed lines\n",
              g_allocations - allocationsBefore, lineCount);
  // Keeps the decoded state observable so the work cannot be optimised away.
  std::printf("decoder: last position %.6f %.6f, fix mode %d\n", double{position.Latitude},
              double{position.Longitude}, position.FixMode);
  return 0;
}
