// Unsigned 32-bit division for ARMv7-A cores without a divide instruction:
// see arm_unsigned_divide.cpp for why it exists.
#pragma once

#if defined(__arm__) && defined(__linux__) && !defined(__ARM_ARCH_EXT_IDIV__) && defined(__ARM_FP) && \
    (__ARM_FP & 8)
#define MACTOSN_ARM_UNSIGNED_DIVIDE 1

#include <cstdint>

#include <sys/auxv.h>

#ifndef HWCAP_IDIVA
#define HWCAP_IDIVA (1 << 17)
#endif

extern "C" {
// Whether the CPU reported the divide instruction; set before any static
// object of the program is built.
[[gnu::visibility("hidden")]] extern int mactosnCpuHasUdiv;
// Each path on its own, for a divisor other than zero: the quotient in the
// low word, the remainder in the high word, as __aeabi_uidivmod returns them.
[[gnu::visibility("hidden")]] std::uint64_t mactosnDivideVfp(std::uint32_t numerator, std::uint32_t divisor);
[[gnu::visibility("hidden")]] std::uint64_t mactosnDivideUdiv(std::uint32_t numerator, std::uint32_t divisor);
}
#endif
