#include "nmea/checksum.h"

namespace kova {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool ChecksumFails(std::string_view line) {
  const auto star = line.rfind('*');
  if (star == std::string_view::npos) return false;
  if (star == 0) return true;
  std::string_view given = line.substr(star + 1);
  if (given.ends_with("\r\n")) given.remove_suffix(2);
  if (given.size() != 2) return true;
  const int high = HexDigit(given[0]);
  const int low = HexDigit(given[1]);
  if (high < 0 || low < 0) return true;
  unsigned sum = 0;
  for (const char c : line.substr(1, star - 1)) sum ^= static_cast<unsigned char>(c);
  return sum != static_cast<unsigned>(high * 16 + low);
}

bool IsSentence(std::string_view line) {
  return (line.starts_with('$') || line.starts_with('!')) && !ChecksumFails(line);
}

}  // namespace kova
