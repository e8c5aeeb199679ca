#pragma once

#include <vector>

#include "platform/descriptor_reserve.h"

namespace kova {

// The reserve as descriptors of /dev/null, which opens whatever the host.
class DevNullReserve final : public DescriptorReserve {
 public:
  // Holds nothing until the first refill.
  explicit DevNullReserve(int count) : m_count(count) {}
  ~DevNullReserve() override;
  DevNullReserve(const DevNullReserve&) = delete;
  DevNullReserve& operator=(const DevNullReserve&) = delete;

  void release() override;
  void refill() override;

 private:
  int m_count;
  std::vector<int> m_held;
};

}  // namespace kova
