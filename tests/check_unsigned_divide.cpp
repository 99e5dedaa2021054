// The tool's unsigned division on ARM cores without a divide instruction, against the C library's 64-bit
// division, which shares no code with it: every quotient and remainder on each path the CPU can run, what a
// run-time helper must leave alone, and a division by zero.

#include "arm_unsigned_divide.h"
#include <cfenv>
#include <csignal>
#include <cstdio>
#include <unordered_map>
#include <vector>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef MACTOSN_ARM_UNSIGNED_DIVIDE
namespace {
int failures = 0;
long pairs = 0;

void expect(bool good, const char* what, std::uint32_t numerator, std::uint32_t divisor) {
    if (!good && ++failures <= 20) {
        std::printf("FAIL %s: %u / %u\n", what, static_cast<unsigned>(numerator), static_cast<unsigned>(divisor));
    }
}

void checkPair(std::uint32_t numerator, std::uint32_t divisor, bool udivToo) {
    if (divisor == 0) {
        return;
    }
    ++pairs;
    const std::uint64_t wide = numerator;
    const std::uint64_t expected = (wide % divisor) << 32 | (wide / divisor);
    expect(mactosnDivideVfp(numerator, divisor) == expected, "VFP path", numerator, divisor);
    expect(!udivToo || mactosnDivideUdiv(numerator, divisor) == expected, "udiv path", numerator, divisor);
    // What compiled code calls: `/` and `%` go through __aeabi_uidiv(mod).
    volatile std::uint32_t n = numerator, d = divisor;
    expect(n / d == static_cast<std::uint32_t>(expected) && n % d == expected >> 32, "operators", numerator, divisor);
}
}  // namespace

int main() {
    const bool cpuHasUdiv = (getauxval(AT_HWCAP) & HWCAP_IDIVT) != 0;
    expect(mactosnCpuHasUdiv == cpuHasUdiv, "divide instruction detected before main", 0, 0);

    // Boundaries, the bucket counts of tables sized for lists of these lengths, every pair of them, then random
    // pairs over the whole range and with small divisors, whose quotients are large.
    std::vector<std::uint32_t> values = {0, 1, 3, 5, 7, 10, 0x7FFFFFFF, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        values.insert(values.end(), {1u << bit, (1u << bit) - 1, (1u << bit) + 1});
    }
    for (std::size_t rows : {1u, 10u, 100u, 1000u, 10000u, 28798u, 100000u, 300000u, 1000000u}) {
        values.push_back(static_cast<std::uint32_t>(std::unordered_map<int, int>(rows).bucket_count()));
    }
    for (std::uint32_t numerator : values) {
        for (std::uint32_t divisor : values) {
            checkPair(numerator, divisor, cpuHasUdiv);
        }
    }
    std::uint32_t state = 2463534242u;  // xorshift32
    auto next = [&state] { return state ^= state << 13, state ^= state >> 17, state ^= state << 5; };
    for (int i = 0; i < 1000000; ++i) {
        const std::uint32_t numerator = next();
        checkPair(numerator, i % 2 ? next() : next() >> (next() & 31), cpuHasUdiv);
    }

    // A caller's d0, d1 and floating-point flags survive a call.
    std::feclearexcept(FE_ALL_EXCEPT);
    double kept0 = 1.25, kept1 = -3.5;
    std::uint64_t result;
    asm volatile("vmov.f64 d0, %P[in0]\n\tvmov.f64 d1, %P[in1]\n\tmovw r0, #12345\n\tmovs r1, #7\n\t"
                 "bl __aeabi_uidivmod\n\tvmov.f64 %P[out0], d0\n\tvmov.f64 %P[out1], d1\n\t"
                 "mov %Q[result], r0\n\tmov %R[result], r1"
                 : [out0] "=w"(kept0), [out1] "=w"(kept1), [result] "=r"(result)
                 : [in0] "w"(kept0), [in1] "w"(kept1)
                 : "r0", "r1", "r2", "r3", "ip", "lr", "d0", "d1", "cc", "memory");
    expect(kept0 == 1.25 && kept1 == -3.5 && result == (std::uint64_t{12345 % 7} << 32 | 12345 / 7),
           "d0 and d1 kept", 12345, 7);
    expect(std::fetestexcept(FE_ALL_EXCEPT) == 0, "floating-point flags untouched", 12345, 7);

    // A division by zero stops the program rather than hand back a number.
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        volatile std::uint32_t zero = 0, quotient = 1234u / zero;
        _exit(static_cast<int>(quotient & 1));
    }
    int status = 0;
    waitpid(child, &status, 0);
    expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE, "division by zero raises SIGFPE", 1234, 0);

    std::printf("%ld pairs on the VFP path%s; %d failed\n", pairs,
                cpuHasUdiv ? " and the udiv path" : " (this CPU has no divide instruction)", failures);
    return failures == 0 ? 0 : 1;
}

#else
int main() {
    std::printf("skipped: this build divides with an instruction, not the tool's helper\n");
    return 77;
}
#endif
