#include "server/descriptor_reserve.h"

#include <fcntl.h>
#include <unistd.h>

namespace kova {

DevNullReserve::~DevNullReserve() { release(); }

void DevNullReserve::release() {
  for (const int fd : m_held) ::close(fd);
  m_held.clear();
}

void DevNullReserve::refill() {
  while (static_cast<int>(m_held.size()) < m_count) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    m_held.push_back(fd);
  }
}

}  // namespace kova
