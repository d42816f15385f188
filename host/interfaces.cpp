// Device interfaces.
#include "host/kernel_internal.h"

namespace kv::kernel {
void detail::ResetInterfaces() {}
}  // namespace kv::kernel
