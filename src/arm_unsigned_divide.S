// Unsigned 32-bit division for ARMv7-A cores without a divide instruction:
// __aeabi_uidivmod, __aeabi_uidiv and __udivsi3, which the program links in
// place of the C library's.
//
// Why: generic ARMv7-A has no `udiv`, so every `a / b` and `a % b` on
// unsigned int calls these run-time helpers. The hash table computes
// `hash % bucket_count` about twice a row while it is filled at start-up, and
// libgcc's shift-and-subtract loop costs over a hundred instructions a call:
// nearly half of the tool's start-up on the device.
//
// Algorithm: where the CPU reports the Thumb divide instruction
// (HWCAP_IDIVT), `udiv`; otherwise VFPv3's double-precision divide. A double
// holds every 32-bit operand exactly, and for n, d below 2^32 the true
// quotient n/d lies at least 1/d below the next integer, far more than half
// a unit in the last place of a double near n/d. So the correctly rounded
// quotient, truncated by vcvt (which always rounds toward zero), is
// floor(n/d), whatever rounding mode the FPSCR holds. The remainder is
// n - q*d (mls).
//
// ABI: the run-time ABI lets these helpers corrupt only r0-r3, ip, lr and the
// flags, so d0, d1 and the FPSCR (whose cumulative flags vdiv sets) are put
// back as they were. __aeabi_uidivmod returns the quotient in r0 and the
// remainder in r1; __aeabi_uidiv and __udivsi3 callers read r0 only. The code
// is Thumb-2 whatever state the callers are built for; the linker turns
// their calls into blx where needed. Arguments travel in core registers, so
// the file suits the hard- and the soft-float calling convention alike.
// Division by zero goes to __aeabi_idiv0, which raises SIGFPE on Linux, as
// the C library's helpers do.
//
// Which path runs: mactosnCpuHasUdiv, set by an .init_array entry of
// priority 101. That runs before every static object built with the default
// priority, the hash table among them. Code that divides earlier (a
// preinit_array entry, or another file's priority-101 constructor that the
// linker happens to place first) reads 0 and takes the VFP path, which is
// exact on every core; it only costs a few instructions more.
//
// mactosnDivideVfp and mactosnDivideUdiv enter each path on its own, for a
// divisor other than zero, so that a test can check both.
//
// An assembly source, so that link-time optimisation never sees these
// definitions and cannot drop them or pull in libgcc's beside them.

#include "arm_unsigned_divide.h"

#ifdef MACTOSN_ARM_UNSIGNED_DIVIDE

#include <asm/hwcap.h>
#include <linux/auxvec.h>

    .syntax unified
    .thumb
    .arch armv7-a
    .arch_extension idiv
    .fpu vfpv3-d16
    // No argument or result in a VFP register: callers of either float ABI may link it.
    .eabi_attribute Tag_ABI_VFP_args, 3
    // Its one call keeps the stack 8-byte aligned, as the program's other objects promise.
    .eabi_attribute Tag_ABI_align_preserved, 1

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

    // mactosnDetectDivide(): mactosnCpuHasUdiv = getauxval(AT_HWCAP) has HWCAP_IDIVT.
    .type mactosnDetectDivide, %function
    .p2align 2
    .thumb_func
mactosnDetectDivide:
    push    {r3, lr}            // r3 keeps the stack 8-byte aligned for the call
    movs    r0, #AT_HWCAP
    bl      getauxval
    ands    r0, r0, #HWCAP_IDIVT
    it      ne
    movne   r0, #1
    ldr     r1, 6f
5:  add     r1, pc
    str     r0, [r1]
    pop     {r3, pc}
    .p2align 2
6:  .word   mactosnCpuHasUdiv - (5b + 4)
    .size mactosnDetectDivide, . - mactosnDetectDivide

    .section .init_array.00101, "aw", %init_array
    .p2align 2
    .word   mactosnDetectDivide

    .bss
    .p2align 2
    .global mactosnCpuHasUdiv
    .hidden mactosnCpuHasUdiv
    .type mactosnCpuHasUdiv, %object
    .size mactosnCpuHasUdiv, 4
mactosnCpuHasUdiv:
    .space  4

#endif

// Without this note the linker would give the program an executable stack.
    .section .note.GNU-stack, "", %progbits
