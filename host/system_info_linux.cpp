#include "host/system_info.h"

#if defined(__powerpc__) || defined(__powerpc64__)
#include <asm/cputable.h>
#include <sys/auxv.h>
#endif

namespace quorvantix::host {
namespace {

constexpr std::uint8_t kCpuUnknown = 36;

#if defined(__powerpc__) || defined(__powerpc64__)
// The processor flags word the identification scan reads, from the kernel's
// feature bits.
std::uint16_t attn_flags_from_hwcap() {
  constexpr std::uint16_t kAff603 = 1u << 8;
  constexpr std::uint16_t kAff7400 = 1u << 11;
  constexpr std::uint16_t kAffAltivec = 1u << 12;
  constexpr std::uint16_t kAff4xx = 1u << 13;
  const unsigned long hwcap = getauxval(AT_HWCAP);
  std::uint16_t flags = kAff603;
  if (hwcap & PPC_FEATURE_HAS_ALTIVEC) flags |= kAff7400 | kAffAltivec;
  if (hwcap & PPC_FEATURE_BOOKE) flags |= kAff4xx;
  return flags;
}
#endif

}  // namespace

std::uint8_t host_cpu_code() {
#if defined(__i386__) || defined(__x86_64__)
  return 47;
#elif defined(__powerpc__) || defined(__powerpc64__)
  return cpu_code_from_attn_flags(attn_flags_from_hwcap());
#else
  return kCpuUnknown;
#endif
}

int host_lib_version() { return 54; }

std::uint8_t cpu_code_from_attn_flags(std::uint16_t attn_flags) {
  for (int bit = 14; bit >= 7; --bit) {
    if (attn_flags & (1u << bit)) return static_cast<std::uint8_t>(32 + bit);
  }
  return kCpuUnknown;
}

}  // namespace quorvantix::host
