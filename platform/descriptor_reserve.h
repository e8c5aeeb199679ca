#pragma once

namespace kova {

// Descriptors held back from the clients, so that with the table full the program can still
// open the receiver's port and turn newcomers away. Whoever needs them releases them for one
// synchronous step and refills them right after; nothing else runs in between.
class DescriptorReserve {
 public:
  virtual ~DescriptorReserve() = default;
  // Gives every held descriptor back to the table.
  virtual void release() = 0;
  // Takes descriptors again up to the count, as many as the table has free.
  virtual void refill() = 0;
};

}  // namespace kova
