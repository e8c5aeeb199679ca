#include "server/query_reply.h"

#include <array>
#include <cstring>

namespace kova {
namespace {

enum Field : unsigned { P = 1, V = 2, A = 4, H = 8, S = 16, M = 32 };

// Which field each byte asks for; bytes outside a to z and A to Z ask for none.
constexpr std::array<unsigned char, 256> FieldOfByte = [] {
  std::array<unsigned char, 256> table{};
  for (const auto& [letter, field] : {std::pair{'P', P}, {'V', V}, {'A', A}, {'H', H}, {'S', S}, {'M', M}}) {
    table[static_cast<unsigned char>(letter)] = static_cast<unsigned char>(field);
    table[static_cast<unsigned char>(letter - 'A' + 'a')] = static_cast<unsigned char>(field);
  }
  return table;
}();

char* Append(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

}  // namespace

std::size_t BuildQueryReply(std::string_view request, const PositionState& state, char* out) {
  unsigned fields = 0;
  for (const char c : request) fields |= FieldOfByte[static_cast<unsigned char>(c)];

  char* end = Append(out, "KOVA");
  if (fields & P) {
    end = FormatNumber(Append(end, ",P="), state.Latitude, 6);
    end = FormatNumber(Append(end, " "), state.Longitude, 6);
  }
  if (fields & V) end = FormatNumber(Append(end, ",V="), state.Speed, 6);
  if (fields & A) end = FormatNumber(Append(end, ",A="), state.Altitude, 6);
  if (fields & H) end = FormatNumber(Append(end, ",H="), state.Heading, 6);
  if (fields & S) end = FormatNumber(Append(end, ",S="), state.FixQuality, 0);
  if (fields & M) end = FormatNumber(Append(end, ",M="), state.FixMode, 0);
  end = Append(end, "\r\n");
  return static_cast<std::size_t>(end - out);
}

}  // namespace kova
