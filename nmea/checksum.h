#pragma once

#include <string_view>

namespace kova {

// Whether a line's checksum rules it out: the line carries "*", and what stands between the
// last "*" and its CR LF is not exactly two hexadecimal digits (either case) equal to the XOR
// of every character between the line's first one ("$" or "!") and that "*". A line without "*"
// passes: old receivers and logs send none.
bool ChecksumFails(std::string_view line);

// Whether a line is an NMEA sentence fit to pass on to other programs: it starts with "$" (or
// "!", which starts an encapsulated sentence) and its checksum does not rule it out.
bool IsSentence(std::string_view line);

}  // namespace kova
