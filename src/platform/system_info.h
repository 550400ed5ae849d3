// What this host says about itself in the identification frame.
#pragma once

#include <cstdint>

namespace platform {

// 47 (x86) on x86 and x86-64; on PowerPC the code of the processor's highest
// feature; 36 (unknown) elsewhere.
std::uint8_t host_cpu_code();
// The operating-system version this host reports: 54, which codes as 4.1.
int host_lib_version();

}  // namespace platform
