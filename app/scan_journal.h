#pragma once

#include <ostream>
#include <string>
#include <string_view>

// The scan outcomes as lines for the system journal ("simple-kova: GPS Receiver on COM3"),
// written only when the outcome changes: a receiver that stays away would otherwise be reported
// every 10 s for as long as it is gone.
class ScanJournal {
 public:
  explicit ScanJournal(std::ostream& out) : m_out(out) {}

  void record(std::string_view outcome);

 private:
  std::ostream& m_out;
  std::string m_last;
};
