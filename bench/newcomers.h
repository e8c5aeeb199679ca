#pragma once

// New clients one after another on port 2947, each timed from its connect to its reply line,
// on a thread of their own, for the benchmarks that load the program some other way.

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "tests/e2e/harness.h"

namespace kova::bench {

class Newcomers {
 public:
  Newcomers() : m_thread([this] { run(); }) {}
  ~Newcomers() {
    m_stop = true;
    m_thread.join();
  }
  // The longest wait since the last call, in ms, and how many clients asked.
  std::pair<double, int> takeLongest() {
    return {static_cast<double>(m_longestMicros.exchange(0)) / 1000.0, m_asked.exchange(0)};
  }
  int failed() const { return m_failed; }
  // How many waited 50 ms or more since the last call.
  int takeSlow() { return m_slow.exchange(0); }

 private:
  void run() {
    while (!m_stop) {
      using namespace std::chrono_literals;
      const auto start = std::chrono::steady_clock::now();
      e2e::QueryClient client;
      const bool answered = client.connect(2s) && client.ask("P", 2s).has_value();
      const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
      if (!answered) ++m_failed;
      if (micros >= 50'000) ++m_slow;
      ++m_asked;
      long long longest = m_longestMicros;
      while (micros > longest && !m_longestMicros.compare_exchange_weak(longest, micros)) {
      }
      std::this_thread::sleep_for(2ms);
    }
  }

  std::atomic<bool> m_stop{false};
  std::atomic<long long> m_longestMicros{0};
  std::atomic<int> m_asked{0};
  std::atomic<int> m_failed{0};
  std::atomic<int> m_slow{0};
  std::thread m_thread;
};

}  // namespace kova::bench
