// Unsigned 32-bit division for ARMv7-A cores without a divide instruction.
//
// Why this file exists: generic ARMv7-A has no `udiv`, so every `a / b` and
// `a % b` on unsigned int becomes a call to the run-time helpers below. The
// hash table computes `hash % bucket_count` about twice a row while it is
// filled at start-up, and the C library's shift-and-subtract loop costs over
// a hundred instructions a call: nearly half of the tool's start-up on the
// device. These replacements use the divide instruction when the CPU reports
// one (HWCAP_IDIVA) and VFPv3's double-precision divide otherwise.
//
// Exactness: a double holds every 32-bit operand exactly, and for n, d below
// 2^32 the true quotient n/d lies at least 1/d below the next integer, far
// more than half a unit in the last place of a double near n/d. So the
// correctly rounded quotient, truncated by vcvt (which always rounds toward
// zero), is floor(n/d), whatever rounding mode the FPSCR holds.
//
// The run-time ABI lets these helpers corrupt only r0-r3, ip, lr and the
// flags, so the VFP registers and the FPSCR (whose cumulative flags vdiv sets)
// are put back as they were. Division by zero goes to __aeabi_idiv0, which
// raises SIGFPE on Linux, as the C library's helpers do.

#include "arm_unsigned_divide.h"

#ifdef MACTOSN_ARM_UNSIGNED_DIVIDE

extern "C" {

// Read by the routine below. Until it is set, the VFP path runs, which is
// exact on every core; the constructor runs before any static object of the
// program is built, so the table's fill already takes the fast path.
[[gnu::visibility("hidden")]] int mactosnCpuHasUdiv = 0;

[[gnu::constructor(101)]] static void detectDivideInstruction() {
    mactosnCpuHasUdiv = (getauxval(AT_HWCAP) & HWCAP_IDIVA) != 0;
}

}  // extern "C"

// __aeabi_uidivmod returns the quotient in r0 and the remainder in r1;
// __aeabi_uidiv and __udivsi3 callers read r0 only. The two paths are also
// reachable on their own, so that a test can check each.
asm(R"(
    .syntax unified
    .thumb
    .arch armv7-a
    .arch_extension idiv
    .fpu vfpv3-d16
    .text

    .global __aeabi_uidivmod
    .global __aeabi_uidiv
    .global __udivsi3
    .global mactosnDivideVfp
    .global mactosnDivideUdiv
    .hidden __aeabi_uidivmod
    .hidden __aeabi_uidiv
    .hidden __udivsi3
    .hidden mactosnDivideVfp
    .hidden mactosnDivideUdiv
    .type __aeabi_uidivmod, %function
    .type __aeabi_uidiv, %function
    .type __udivsi3, %function
    .type mactosnDivideVfp, %function
    .type mactosnDivideUdiv, %function

    .p2align 2
    .thumb_func
__aeabi_uidivmod:
    .thumb_func
__aeabi_uidiv:
    .thumb_func
__udivsi3:
    cbz     r1, 2f
    ldr     r2, 3f
1:  add     r2, pc
    ldr     r2, [r2]
    cbnz    r2, 4f
    .thumb_func
mactosnDivideVfp:
    vmrs    ip, fpscr
    vpush   {d0, d1}
    vmov    s0, r0
    vmov    s2, r1
    vcvt.f64.u32 d0, s0
    vcvt.f64.u32 d1, s2
    vdiv.f64 d0, d0, d1
    vcvt.u32.f64 s0, d0
    vmov    r2, s0
    vpop    {d0, d1}
    vmsr    fpscr, ip
    mls     r1, r2, r1, r0
    mov     r0, r2
    bx      lr
2:  push    {r0, lr}
    bl      __aeabi_idiv0
    pop     {r1, lr}
    movs    r0, #0
    bx      lr
    .p2align 2
3:  .word   mactosnCpuHasUdiv - (1b + 4)
    .thumb_func
mactosnDivideUdiv:
4:  udiv    r2, r0, r1
    mls     r1, r2, r1, r0
    mov     r0, r2
    bx      lr
    .size __aeabi_uidivmod, . - __aeabi_uidivmod
    .size __aeabi_uidiv, . - __aeabi_uidiv
    .size __udivsi3, . - __udivsi3
    .size mactosnDivideVfp, 3b - mactosnDivideVfp
    .size mactosnDivideUdiv, . - mactosnDivideUdiv
)");

#endif
