#include "app/scan_journal.h"

void ScanJournal::record(std::string_view outcome) {
  if (outcome == m_last) return;
  m_last = outcome;
  // Flushed at once: the journal stamps each line with the time it arrives.
  m_out << "simple-kova: " << outcome << std::endl;
}
