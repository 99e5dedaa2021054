// Unsigned 32-bit division for ARMv7-A cores without a divide instruction:
// see arm_unsigned_divide.S, which includes this header too, so that the
// helper and its test agree on when it is built.
#ifndef MACTOSN_ARM_UNSIGNED_DIVIDE_H
#define MACTOSN_ARM_UNSIGNED_DIVIDE_H

// The helper is Thumb-2 code (cbz, mls) that divides in VFP double
// precision. An ARMv6 core may have that VFP but has no Thumb-2, where the
// helper would trap at the first division: the architecture decides too.
#if defined(__arm__) && defined(__linux__) && !defined(__ARM_ARCH_EXT_IDIV__) && defined(__ARM_FP) && \
    (__ARM_FP & 8) && __ARM_ARCH >= 7 && __ARM_ARCH_ISA_THUMB >= 2
#define MACTOSN_ARM_UNSIGNED_DIVIDE 1

#ifndef __ASSEMBLER__
#include <cstdint>

extern "C" {
// Whether the CPU reported the Thumb divide instruction; see the .S file for
// when it is set.
[[gnu::visibility("hidden")]] extern int mactosnCpuHasUdiv;
// Each path on its own, for a divisor other than zero: the quotient in the
// low word, the remainder in the high word, as __aeabi_uidivmod returns them.
[[gnu::visibility("hidden")]] std::uint64_t mactosnDivideVfp(std::uint32_t numerator, std::uint32_t divisor);
[[gnu::visibility("hidden")]] std::uint64_t mactosnDivideUdiv(std::uint32_t numerator, std::uint32_t divisor);
}
#endif
#endif

#endif
