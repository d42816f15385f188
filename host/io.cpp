// Device objects, driver objects and IRPs.
#include "host/kernel_internal.h"

namespace kv::kernel {
void detail::ResetIo() {}
size_t io::OutstandingIrpCount() { return 0; }
std::vector<std::string> io::OutstandingIrps() { return {}; }
}  // namespace kv::kernel
