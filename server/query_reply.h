#pragma once

#include <cstddef>
#include <string_view>

#include "state/number_format.h"
#include "state/position_state.h"

namespace kova {

// The longest reply: the prefix, six fields of at most a full number each, CR LF.
inline constexpr std::size_t QueryReplyCapacity = 4 + 7 * (3 + NumberTextCapacity) + 2;

// Answers one arrival of request bytes: "KOVA", then the field of each of the letters P, V, A,
// H, S, M found anywhere in the request (either case, each at most once, always in that order),
// then CR LF. Every other byte is ignored. The numbers always take "." as their separator, so
// clients parse them the same whatever the host's regional settings.
// out must hold QueryReplyCapacity characters; returns the reply's length.
std::size_t BuildQueryReply(std::string_view request, const PositionState& state, char* out);

}  // namespace kova
