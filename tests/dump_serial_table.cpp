// Usage: dump_serial_table [MISS...]. Looks up each MISS, then prints the
// table's shape and every pair as "MAC<TAB>SERIAL", in the table's order, so
// one process shows the whole list as the tool holds it.

#define main macToSnMain
#include "MACtoSN.cpp"
#undef main

#include <cstdio>

int main(int argc, char* argv[]) {
    const std::size_t rowCount = sizeof serialRows / sizeof serialRows[0];
    std::printf("rows %zu\n", rowCount);
    std::printf("entries %zu\n", macToSerial.size());
    for (int i = 1; i < argc; ++i) {
        const std::string result = getSerialFromMac(argv[i]);
        std::printf("miss %s -> %s\n", argv[i], result.c_str());
    }
    std::printf("entries after misses %zu\n", macToSerial.size());
    // A table sized for the rows before the fill and never rehashed has as
    // many buckets as an empty one sized the same way.
    const decltype(macToSerial) sizedOnly(rowCount);
    std::printf("buckets %zu sized %zu\n", macToSerial.bucket_count(), sizedOnly.bucket_count());
    std::printf("max_load_factor %g\n", static_cast<double>(macToSerial.max_load_factor()));
    for (const auto& entry : macToSerial) {
        std::printf("%s\t%s\n", entry.first.c_str(), entry.second.c_str());
    }
    return 0;
}
