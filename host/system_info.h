// What this host says about itself in the identification frame.
#pragma once

#include <cstdint>

namespace quorvantix::host {

// 47 (x86) on x86 and x86-64; on PowerPC the code of the processor's highest
// feature; 36 (unknown) elsewhere.
std::uint8_t host_cpu_code();
// The operating-system version this host reports: 54, which codes as 4.1.
int host_lib_version();
// CPU code from the processor feature flags (bits 14 down to 7); 36 when none is set.
std::uint8_t cpu_code_from_attn_flags(std::uint16_t attn_flags);

}  // namespace quorvantix::host
