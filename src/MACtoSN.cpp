// MACtoSN: prints the serial number of the device with the given MAC address,
// from the MAC-to-serial list compiled into the program.
//
// Callers on the device tell success from failure by the text alone: a
// serial, or a line beginning "Fail:Mac=". Neither ends in a line end, and
// the exit status is 0 either way.

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <regex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "static_block_allocator.h"

namespace {

// One row of the list; its serial is packed into serialText with the others.
// Char arrays instead of std::string literals: a constant array of them
// compiles in seconds and needs no relocations, where 28,798 std::string
// pairs take the compiler many minutes.
struct SerialRow {
    char mac[18];
    unsigned char serialLength;
};

#include "serial_rows.inc"

const char* const notFoundSentinel = "0";
constexpr std::size_t macLength = 17;
constexpr std::size_t serialRowCount = sizeof serialRows / sizeof serialRows[0];
constexpr std::size_t serialTextBytes = sizeof serialText - 1;

// The table is filled once and read until the process ends, so its memory
// comes from static blocks sized for this list: a row's node (link, key,
// serial and cached hash), about one bucket a row, the key's text, and room
// for the serial's, which the C++11 string ABI keeps inside the string
// unless it is long.
using staticblock::roundUp;
constexpr std::size_t tableObjectFillBytes =
    serialRowCount * roundUp(2 * sizeof(void*) + 2 * sizeof(std::string), staticblock::blockAlignment) +
    (serialRowCount + serialRowCount / 8 + 64) * sizeof(void*);
constexpr std::size_t keyTextBytes = serialRowCount * (macLength + staticblock::stringTextOverhead);
constexpr std::size_t serialTextRoom = serialTextBytes + serialRowCount * staticblock::stringTextOverhead;
constexpr std::size_t tableTextFillBytes = keyTextBytes + (staticblock::shortStringsInline ? 0 : serialTextRoom);
#ifdef MACTOSN_TABLE_BLOCK_BYTES  // lets a test build make the list outgrow the blocks
using TableBlocks = staticblock::Blocks<MACTOSN_TABLE_BLOCK_BYTES, MACTOSN_TABLE_BLOCK_BYTES>;
#else
using TableBlocks =
    staticblock::Blocks<roundUp(tableObjectFillBytes + serialRowCount / 8 * sizeof(void*), staticblock::blockAlignment),
                        keyTextBytes + serialTextRoom>;
#endif
template <class T>
using TableAllocator = staticblock::Allocator<T, TableBlocks>;

using TableText = std::basic_string<char, std::char_traits<char>, TableAllocator<char>>;

// The standard library's text hash over the key's bytes. Not noexcept on
// purpose: libstdc++ then keeps each key's hash in its node, as it does for
// std::string keys, instead of hashing keys again while walking a bucket.
struct TableTextHash {
    std::size_t operator()(const TableText& text) const {
        return std::hash<std::string_view>()(std::string_view(text.data(), text.size()));
    }
};

using SerialTable = std::unordered_map<TableText, TableText, TableTextHash, std::equal_to<TableText>,
                                       TableAllocator<std::pair<const TableText, TableText>>>;

[[gnu::flatten]] SerialTable buildSerialTable() {
    // Sized before the first insertion so the fill never rehashes; rows go in
    // list order and emplace keeps an existing key, so the first row wins.
    TableBlocks::prefault(tableObjectFillBytes, tableTextFillBytes);
    SerialTable table(serialRowCount);
    const char* serial = serialText;
    for (const auto& row : serialRows) {
        table.emplace(std::piecewise_construct, std::forward_as_tuple(row.mac, macLength),
                      std::forward_as_tuple(serial, row.serialLength));
        serial += row.serialLength;
    }
    return table;
}

// A malformed MAC and a missing one get the same line: either way the list
// has no serial for this text.
void writeFailureLine(const std::string& mac) {
    std::cout << "Fail:Mac=" << mac << " Not Found In /ZOR/System/Config/BrenvicMACtoSerial.csv";
}

// The text must reach standard output: a caller reads nothing else, so a
// lost write must not pass for an answer. A long answer may have failed
// before the flush; errno then still names that write's error.
int flushStandardOutput(int status) {
    std::cout.flush();
    if (std::cout) {
        return status;
    }
    const int error = errno;
    std::cerr << "MACtoSN: error writing standard output: "
              << (error != 0 ? std::strerror(error) : "write failed") << '\n';
    return 1;
}

}  // namespace

SerialTable macToSerial = buildSerialTable();

bool isValidMacAddress(const std::string& mac) {
    const std::regex macPattern("^([0-9A-Fa-f]{2}[:-]){5}([0-9A-Fa-f]{2})$", std::regex::ECMAScript);
    return std::regex_match(mac, macPattern);
}

std::string getSerialFromMac(const std::string& mac) {
    const auto found = macToSerial.find(TableText(mac.data(), mac.size()));
    if (found == macToSerial.end()) {
        return notFoundSentinel;
    }
    return std::string(found->second.data(), found->second.size());
}

int main(int argc, char* argv[]) {
    if (argc < 2) {
        writeFailureLine("");
        std::cerr << "usage: MACtoSN MAC-ADDRESS\n";
        return flushStandardOutput(2);
    }
    const std::string mac = argv[1];
    if (isValidMacAddress(mac)) {
        const std::string serial = getSerialFromMac(mac);
        if (serial != notFoundSentinel) {
            std::cout << serial;
            return flushStandardOutput(0);
        }
    }
    writeFailureLine(mac);
    return flushStandardOutput(0);
}
