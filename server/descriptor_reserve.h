#pragma once

#include <vector>

namespace kova {

// Descriptors held back from the clients, so that with the table full the program can still
// open the receiver's port and turn newcomers away. Whoever needs them releases them for one
// synchronous step and refills them right after; nothing else runs in between.
class DescriptorReserve {
 public:
  // Holds nothing until the first refill.
  explicit DescriptorReserve(int count) : m_count(count) {}
  ~DescriptorReserve();
  DescriptorReserve(const DescriptorReserve&) = delete;
  DescriptorReserve& operator=(const DescriptorReserve&) = delete;

  // Gives every held descriptor back to the table.
  void release();
  // Takes descriptors again up to the count, as many as the table has free.
  void refill();

 private:
  int m_count;
  std::vector<int> m_held;
};

}  // namespace kova
