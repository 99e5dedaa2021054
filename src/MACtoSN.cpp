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
#include <new>
#include <regex>
#include <string>
#include <string_view>
#include <unordered_map>

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
const std::size_t macLength = 17;

constexpr std::size_t serialRowCount = sizeof serialRows / sizeof serialRows[0];
constexpr std::size_t serialTextBytes = sizeof serialText - 1;

// Nodes, keys and buckets of the table come from one static block, handed
// out in order and never given back one by one: the table is filled once,
// only read afterwards, and dropped whole at exit. That saves two heap
// allocations and two frees a row (keys are too long for the short-string
// buffer), and the untouched part of the block costs no memory.
//
// Text (alignment 1) is taken from the top of the block and everything else
// from the bottom, so keys pack without padding. Should a list outgrow the
// block, the rest comes from the heap. Sanitizer builds take everything from
// the heap, so that each allocation keeps its own bounds.
constexpr std::size_t tableArenaBytes =
    serialRowCount * (4 * sizeof(void*) + 2 * sizeof(std::string) + macLength + 2) + serialTextBytes +
    (serialRowCount + serialRowCount / 4 + 64) * sizeof(void*);
alignas(std::max_align_t) unsigned char tableArena[tableArenaBytes];
std::size_t tableArenaLow = 0;
std::size_t tableArenaHigh = tableArenaBytes;

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MACTOSN_ADDRESS_SANITIZER
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(MACTOSN_ADDRESS_SANITIZER)
constexpr bool tableUsesHeap = true;
#else
constexpr bool tableUsesHeap = false;
#endif

void* allocateForTable(std::size_t bytes, std::size_t alignment) {
    if (!tableUsesHeap) {
        if (alignment == 1) {
            if (bytes <= tableArenaHigh - tableArenaLow) {
                tableArenaHigh -= bytes;
                return tableArena + tableArenaHigh;
            }
        } else {
            const std::size_t start = (tableArenaLow + alignment - 1) & ~(alignment - 1);
            if (start <= tableArenaHigh && bytes <= tableArenaHigh - start) {
                tableArenaLow = start + bytes;
                return tableArena + start;
            }
        }
    }
    return ::operator new(bytes);
}

void releaseForTable(void* memory) noexcept {
    const auto* byte = static_cast<unsigned char*>(memory);
    if (byte < tableArena || byte >= tableArena + tableArenaBytes) {
        ::operator delete(memory);
    }
}

template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() noexcept = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) {
        return static_cast<T*>(allocateForTable(count * sizeof(T), alignof(T)));
    }
    void deallocate(T* memory, std::size_t) noexcept { releaseForTable(memory); }
};
template <class T, class U>
bool operator==(const TableAllocator<T>&, const TableAllocator<U>&) noexcept { return true; }
template <class T, class U>
bool operator!=(const TableAllocator<T>&, const TableAllocator<U>&) noexcept { return false; }

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

SerialTable buildSerialTable() {
    // Sized before the first insertion so the fill never rehashes; rows go in
    // list order and emplace keeps an existing key, so the first row wins.
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
