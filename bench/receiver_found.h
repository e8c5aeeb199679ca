#pragma once

// The start that the benchmarks driving a receiver share: the real program up, a client
// connected, and the receiver on COM1 found.

#include <cstdio>
#include <optional>
#include <string>

#include "tests/e2e/harness.h"

namespace kova::bench {

// A $GPGGA at 48 degrees and latitudeMinutes north, so that each sentence shows in the replies.
inline std::string GgaAtMinutes(double latitudeMinutes) {
  char body[96];
  std::snprintf(body, sizeof body,
                "$GPGGA,120000,48%06.3f,N,01131.000,E,1,08,0.9,545.5,M,46.9,M,,",
                latitudeMinutes);
  return e2e::WithChecksum(body);
}

// Connects client once the program listens, then writes sentence until a reply to "P" shows
// it: until the scan has found the receiver, a probe may read a sentence without decoding it.
// Returns that reply, or nothing after saying on standard error, under the benchmark's name,
// what went wrong.
inline std::optional<std::string> FirstReplyFromReceiver(e2e::Program& program,
                                                         e2e::PtyReceiver& receiver,
                                                         e2e::QueryClient& client,
                                                         const std::string& sentence,
                                                         const char* benchmark) {
  if (!program.waitUntilListening() || !client.connect()) {
    std::fprintf(stderr, "%s: the program does not answer on port 2947\n", benchmark);
    return std::nullopt;
  }
  std::string reply;
  if (!e2e::Eventually(std::chrono::seconds(10), [&] {
        receiver.write(sentence);
        reply = client.ask("P").value_or("");
        return reply.find("P=48") != std::string::npos;
      })) {
    std::fprintf(stderr, "%s: the program never found the receiver\n", benchmark);
    return std::nullopt;
  }
  return reply;
}

}  // namespace kova::bench
