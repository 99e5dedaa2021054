// The tool's unsigned division on ARM cores without a divide instruction,
// checked against the C library's 64-bit division, which shares no code with
// it: every quotient and remainder, on each path the CPU can run, plus what a
// run-time helper must leave alone and a division by zero.

#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <unordered_map>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#if defined(__arm__) && defined(__linux__) && !defined(__ARM_ARCH_EXT_IDIV__) && defined(__ARM_FP) && \
    (__ARM_FP & 8)

#include <sys/auxv.h>

#ifndef HWCAP_IDIVA
#define HWCAP_IDIVA (1 << 17)
#endif

extern "C" {
std::uint64_t mactosnDivideVfp(std::uint32_t numerator, std::uint32_t divisor);
std::uint64_t mactosnDivideUdiv(std::uint32_t numerator, std::uint32_t divisor);
std::uint64_t __aeabi_uidivmod(std::uint32_t numerator, std::uint32_t divisor);
extern int mactosnCpuHasUdiv;
}

namespace {

int failures = 0;

void expect(bool good, const char* what, std::uint32_t numerator, std::uint32_t divisor) {
    if (!good && ++failures <= 20) {
        std::printf("FAIL %s: %u / %u\n", what, static_cast<unsigned>(numerator), static_cast<unsigned>(divisor));
    }
}

// Quotient in the low word, remainder in the high word, as the helpers return them.
std::uint64_t reference(std::uint32_t numerator, std::uint32_t divisor) {
    const std::uint64_t wide = numerator;
    return (wide % divisor) << 32 | (wide / divisor);
}

std::vector<std::uint32_t> boundaryValues() {
    std::vector<std::uint32_t> values = {0, 1, 2, 3, 5, 7, 10, 0x7FFFFFFF, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    for (int bit = 0; bit < 32; ++bit) {
        const std::uint32_t power = std::uint32_t{1} << bit;
        values.insert(values.end(), {power, power - 1, power + 1});
    }
    // The bucket counts a table sized for lists of these lengths uses.
    for (std::size_t rows : {1u, 10u, 100u, 1000u, 10000u, 28798u, 100000u, 300000u, 1000000u}) {
        values.push_back(static_cast<std::uint32_t>(std::unordered_map<int, int>(rows).bucket_count()));
    }
    return values;
}

void checkPair(std::uint32_t numerator, std::uint32_t divisor, bool udivToo) {
    const std::uint64_t expected = reference(numerator, divisor);
    expect(mactosnDivideVfp(numerator, divisor) == expected, "VFP path", numerator, divisor);
    if (udivToo) {
        expect(mactosnDivideUdiv(numerator, divisor) == expected, "udiv path", numerator, divisor);
    }
    // What compiled code calls: `/` and `%` go through __aeabi_uidiv(mod).
    volatile std::uint32_t n = numerator;
    volatile std::uint32_t d = divisor;
    expect(n / d == static_cast<std::uint32_t>(expected) && n % d == expected >> 32, "operators", numerator,
           divisor);
}

// Values a caller keeps in d0, d1 and the FPSCR's flags must survive a call.
void checkStatePreserved() {
    std::feclearexcept(FE_ALL_EXCEPT);
    double kept0 = 1.25;
    double kept1 = -3.5;
    std::uint64_t result;
    asm volatile(
        "vmov.f64 d0, %P[in0]\n\t"
        "vmov.f64 d1, %P[in1]\n\t"
        "movw r0, #12345\n\t"
        "movs r1, #7\n\t"
        "bl __aeabi_uidivmod\n\t"
        "vmov.f64 %P[out0], d0\n\t"
        "vmov.f64 %P[out1], d1\n\t"
        "mov %Q[result], r0\n\t"
        "mov %R[result], r1"
        : [out0] "=w"(kept0), [out1] "=w"(kept1), [result] "=r"(result)
        : [in0] "w"(kept0), [in1] "w"(kept1)
        : "r0", "r1", "r2", "r3", "ip", "lr", "d0", "d1", "cc", "memory");
    expect(kept0 == 1.25 && kept1 == -3.5, "d0 and d1 kept", 12345, 7);
    expect(result == reference(12345, 7), "result beside the kept registers", 12345, 7);
    expect(std::fetestexcept(FE_ALL_EXCEPT) == 0, "floating-point flags untouched", 12345, 7);
}

// A division by zero must stop the program, not hand back a number.
void checkDivisionByZeroSignals() {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        volatile std::uint32_t zero = 0;
        volatile std::uint32_t quotient = 1234u / zero;
        static_cast<void>(quotient);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    expect(WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE, "division by zero raises SIGFPE", 1234, 0);
}

}  // namespace

int main() {
    const bool cpuHasUdiv = (getauxval(AT_HWCAP) & HWCAP_IDIVA) != 0;
    expect(mactosnCpuHasUdiv == static_cast<int>(cpuHasUdiv), "divide instruction detected before main", 0, 0);

    const std::vector<std::uint32_t> values = boundaryValues();
    long pairs = 0;
    for (std::uint32_t numerator : values) {
        for (std::uint32_t divisor : values) {
            if (divisor != 0) {
                checkPair(numerator, divisor, cpuHasUdiv);
                ++pairs;
            }
        }
    }
    // xorshift32: random pairs over the whole range, and small divisors,
    // whose quotients are large.
    std::uint32_t state = 2463534242u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int i = 0; i < 1000000; ++i) {
        const std::uint32_t numerator = next();
        const std::uint32_t divisor = i % 2 ? next() : next() >> (next() & 31);
        if (divisor != 0) {
            checkPair(numerator, divisor, cpuHasUdiv);
            ++pairs;
        }
    }
    checkStatePreserved();
    checkDivisionByZeroSignals();

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
