// MACtoSN: prints the serial number of the device with the given MAC address,
// from the MAC-to-serial list compiled into the program.
//
// Callers on the device tell success from failure by the text alone: a
// serial, or a line beginning "Fail:Mac=". Neither ends in a line end, and
// the exit status is 0 either way.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <new>
#include <regex>
#include <string>
#include <string_view>
#include <unordered_map>

#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C library headers lack it
#endif

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

// Nodes, keys and buckets of the table come from static blocks, handed out
// in order and never given back: the table is filled once, only read
// afterwards, and its memory goes when the process does. That saves two heap
// allocations a row (keys are too long for the short-string buffer), the
// untouched end of a block costs no memory, and since giving back does
// nothing, the compiler drops the walk over every node at exit. Nodes and
// buckets share one block and texts fill another, so no key pads a node.
//
// Should a list outgrow a block, further blocks come from the heap, chained
// so that leak checkers still reach them. Address-sanitizer builds take each
// allocation from the heap and give it back, so that each keeps its own bounds.
constexpr std::size_t roundUp(std::size_t bytes, std::size_t alignment) {
    return (bytes + alignment - 1) / alignment * alignment;
}
// What the fill takes on this platform: a row's node (link, key, value,
// hash, rounded as the node block rounds it) and key text, and about one
// bucket a row. Serials of up to 15 bytes live inside their node; longer
// ones take text, too.
constexpr std::size_t tableNodeFillBytes =
    serialRowCount * roundUp(2 * sizeof(void*) + 2 * sizeof(std::string), alignof(std::max_align_t)) +
    (serialRowCount + serialRowCount / 8 + 64) * sizeof(void*);
constexpr std::size_t tableTextFillBytes = serialRowCount * (macLength + 1);
#ifdef MACTOSN_TABLE_BLOCK_BYTES  // lets a test build make the list outgrow the blocks
constexpr std::size_t tableNodeBlockBytes = roundUp(MACTOSN_TABLE_BLOCK_BYTES, alignof(std::max_align_t));
constexpr std::size_t tableTextBlockBytes = MACTOSN_TABLE_BLOCK_BYTES;
#else
constexpr std::size_t tableNodeBlockBytes =
    roundUp(tableNodeFillBytes + serialRowCount / 8 * sizeof(void*), alignof(std::max_align_t));
constexpr std::size_t tableTextBlockBytes = tableTextFillBytes + serialTextBytes + serialRowCount;
#endif
alignas(std::max_align_t) unsigned char tableNodeBlock[tableNodeBlockBytes];
unsigned char tableTextBlock[tableTextBlockBytes];
unsigned char* tableNodeNext = tableNodeBlock;
unsigned char* tableTextNext = tableTextBlock;

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

void* spareBlocks = nullptr;  // each heap block begins with a link to the one before
unsigned char* spareNext = nullptr;
std::size_t spareLeft = 0;

[[gnu::noinline, gnu::cold]] void* allocateBeyondBlock(std::size_t bytes, std::size_t alignment) {
    std::size_t skip = (0 - reinterpret_cast<std::uintptr_t>(spareNext)) & (alignment - 1);
    if (spareNext == nullptr || spareLeft < skip || spareLeft - skip < bytes) {
        const std::size_t header = alignof(std::max_align_t);
        const std::size_t size = header + (bytes > tableNodeBlockBytes ? bytes : tableNodeBlockBytes);
        auto* block = static_cast<unsigned char*>(::operator new(size));
        *reinterpret_cast<void**>(block) = spareBlocks;
        spareBlocks = block;
        spareNext = block + header;
        spareLeft = size - header;
        skip = 0;
    }
    void* const memory = spareNext + skip;
    spareNext += skip + bytes;
    spareLeft -= skip + bytes;
    return memory;
}

template <std::size_t Alignment>
void* allocateForTable(std::size_t bytes) {
    static_assert(Alignment <= alignof(std::max_align_t), "the blocks are aligned for max_align_t");
    if (tableUsesHeap) {
        return ::operator new(bytes);
    }
    if (Alignment == 1) {
        if (bytes <= static_cast<std::size_t>(tableTextBlock + tableTextBlockBytes - tableTextNext)) {
            void* const memory = tableTextNext;
            tableTextNext += bytes;
            return memory;
        }
    } else {
        // Sizes are rounded up to the largest alignment, so the next free
        // byte is always aligned; nodes and bucket arrays lose nothing by it.
        const std::size_t size = roundUp(bytes, alignof(std::max_align_t));
        if (size <= static_cast<std::size_t>(tableNodeBlock + tableNodeBlockBytes - tableNodeNext) && size != 0) {
            void* const memory = tableNodeNext;
            tableNodeNext += size;
            return memory;
        }
    }
    return allocateBeyondBlock(bytes, Alignment);
}

template <class T>
struct TableAllocator {
    using value_type = T;
    TableAllocator() noexcept = default;
    template <class U>
    TableAllocator(const TableAllocator<U>&) noexcept {}
    T* allocate(std::size_t count) { return static_cast<T*>(allocateForTable<alignof(T)>(count * sizeof(T))); }
    void deallocate(T* memory, std::size_t) noexcept {
        if (tableUsesHeap) {
            ::operator delete(memory);
        }
    }
};
template <class T, class U>
bool operator==(const TableAllocator<T>&, const TableAllocator<U>&) noexcept { return true; }
template <class T, class U>
bool operator!=(const TableAllocator<T>&, const TableAllocator<U>&) noexcept { return false; }

// Keys and nearly all serials are 4 to 16 bytes long. Two overlapping
// fixed-size moves copy them exactly, where a call to memcpy costs the device
// more than the copy itself.
struct TableTextTraits : std::char_traits<char> {
    static char* copy(char* to, const char* from, std::size_t count) {
        if (count >= 8 && count <= 16) {
            copyOverlapping<8>(to, from, count);
        } else if (count >= 4 && count < 8) {
            copyOverlapping<4>(to, from, count);
        } else {
            std::char_traits<char>::copy(to, from, count);
        }
        return to;
    }

    // The first and the last Piece bytes; below 2 * Piece they overlap, so
    // both are read before either is written.
    template <std::size_t Piece>
    static void copyOverlapping(char* to, const char* from, std::size_t count) {
        char head[Piece];
        char tail[Piece];
        std::memcpy(head, from, Piece);
        std::memcpy(tail, from + count - Piece, Piece);
        std::memcpy(to, head, Piece);
        std::memcpy(to + count - Piece, tail, Piece);
    }
};

using TableText = std::basic_string<char, TableTextTraits, TableAllocator<char>>;

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

// Most of a start's wall time went to page faults, one for each page of the
// blocks the fill touches first. Faulting them in with one call a block
// costs a fraction of that. Kernels before 5.14 refuse the request; the
// pages then fault one by one, as they would anyway.
void prefault(unsigned char* block, std::size_t bytes) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto first = roundUp(reinterpret_cast<std::uintptr_t>(block), page);
    const auto end = reinterpret_cast<std::uintptr_t>(block) + bytes;
    if (first < end) {
        madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
    }
}

void prefaultTableBlocks() {
    if (!tableUsesHeap) {
        prefault(tableNodeBlock, tableNodeFillBytes < tableNodeBlockBytes ? tableNodeFillBytes : tableNodeBlockBytes);
        prefault(tableTextBlock, tableTextFillBytes < tableTextBlockBytes ? tableTextFillBytes : tableTextBlockBytes);
    }
}

[[gnu::flatten]] SerialTable buildSerialTable() {
    // Sized before the first insertion so the fill never rehashes; rows go in
    // list order and emplace keeps an existing key, so the first row wins.
    prefaultTableBlocks();
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
