// An allocator for a container that is filled once, at start-up, and only
// read until the process ends. Allocations come from two static blocks,
// handed out in order by bumping a pointer and never given back: objects
// (nodes, bucket arrays) from one, the characters of strings from the other,
// so that no text pads an object. The untouched end of a block costs no
// memory, and since giving back does nothing, the compiler drops a
// container's walk over its nodes at exit, unless its elements have more to
// do when destroyed (the old string ABI's reference counts).
//
// Should the container outgrow a block, further blocks come from the heap,
// chained so that leak checkers still reach them. Address-sanitizer builds
// take each allocation from the heap and give it back, so that each keeps
// its own bounds. Single-threaded use only.
#ifndef MACTOSN_STATIC_BLOCK_ALLOCATOR_H
#define MACTOSN_STATIC_BLOCK_ALLOCATOR_H

#include <cstddef>
#include <cstdint>
#include <new>

#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older C library headers lack it
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MACTOSN_ADDRESS_SANITIZER
#endif
#endif

namespace staticblock {

#if defined(__SANITIZE_ADDRESS__) || defined(MACTOSN_ADDRESS_SANITIZER)
constexpr bool usesHeap = true;
#else
constexpr bool usesHeap = false;
#endif

constexpr std::size_t roundUp(std::size_t bytes, std::size_t alignment) {
    return (bytes + alignment - 1) / alignment * alignment;
}

constexpr std::size_t blockAlignment = alignof(std::max_align_t);

// Strings allocate their characters as char, but libstdc++'s pre-C++11 ABI
// puts a header (lengths and a reference count, which it updates with
// exclusive loads and stores that fault on a misaligned address) in front of
// them, and expects the allocator to align it as operator new would. Under
// the C++11 ABI the characters are alone, so they pack without padding.
// The C++11 ABI also keeps a short string's characters inside the string.
#if defined(_GLIBCXX_USE_CXX11_ABI) && _GLIBCXX_USE_CXX11_ABI
constexpr std::size_t textAlignment = 1;
constexpr std::size_t stringTextOverhead = 1;  // the terminating NUL
constexpr bool shortStringsInline = true;
#else
constexpr std::size_t textAlignment = blockAlignment;
constexpr bool shortStringsInline = false;
// At most: the header, the NUL and the padding before the next text.
constexpr std::size_t stringTextOverhead = 3 * sizeof(std::size_t) + 1 + textAlignment - 1;
#endif

template <std::size_t ObjectBytes, std::size_t TextBytes>
class Blocks {
public:
    template <std::size_t Alignment>
    static void* allocate(std::size_t bytes) {
        static_assert(Alignment <= blockAlignment, "the blocks are aligned for max_align_t");
        if (usesHeap) {
            return ::operator new(bytes);
        }
        // Sizes are rounded up to the block's alignment, so its next free
        // byte is always aligned.
        const bool text = Alignment == 1;
        unsigned char*& next = text ? nextText : nextObject;
        unsigned char* const end = text ? texts + TextBytes : objects + ObjectBytes;
        const std::size_t size = roundUp(bytes, text ? textAlignment : blockAlignment);
        if (size <= static_cast<std::size_t>(end - next) && size != 0) {
            void* const memory = next;
            next += size;
            return memory;
        }
        return allocateBeyond(bytes, text ? textAlignment : Alignment);
    }

    static void deallocate(void* memory) noexcept {
        if (usesHeap) {
            ::operator delete(memory);
        }
    }

    // Faults in the first bytes of each block with one call a block instead
    // of one page fault a page, the most of a start's wall time otherwise.
    // Kernels before 5.14 refuse it; the pages then fault one by one.
    static void prefault(std::size_t objectBytes, std::size_t textBytes) {
        if (!usesHeap) {
            prefaultRange(objects, objectBytes < ObjectBytes ? objectBytes : ObjectBytes);
            prefaultRange(texts, textBytes < TextBytes ? textBytes : TextBytes);
        }
    }

private:
    alignas(blockAlignment) static inline unsigned char objects[ObjectBytes];
    alignas(textAlignment) static inline unsigned char texts[TextBytes];
    static inline unsigned char* nextObject = objects;
    static inline unsigned char* nextText = texts;
    static inline void* spareBlocks = nullptr;  // each heap block begins with a link to the one before
    static inline unsigned char* spareNext = nullptr;
    static inline std::size_t spareLeft = 0;

    [[gnu::noinline, gnu::cold]] static void* allocateBeyond(std::size_t bytes, std::size_t alignment) {
        std::size_t skip = (0 - reinterpret_cast<std::uintptr_t>(spareNext)) & (alignment - 1);
        if (spareNext == nullptr || spareLeft < skip || spareLeft - skip < bytes) {
            const std::size_t header = blockAlignment;
            const std::size_t size = header + (bytes > ObjectBytes ? bytes : ObjectBytes);
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

    static void prefaultRange(unsigned char* block, std::size_t bytes) {
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto first = roundUp(reinterpret_cast<std::uintptr_t>(block), page);
        const auto end = reinterpret_cast<std::uintptr_t>(block) + bytes;
        if (first < end) {
            madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
        }
    }
};

template <class T, class BlockPair>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U, BlockPair>&) noexcept {}
    T* allocate(std::size_t count) {
        return static_cast<T*>(BlockPair::template allocate<alignof(T)>(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t) noexcept { BlockPair::deallocate(memory); }
};
template <class T, class U, class BlockPair>
bool operator==(const Allocator<T, BlockPair>&, const Allocator<U, BlockPair>&) noexcept { return true; }
template <class T, class U, class BlockPair>
bool operator!=(const Allocator<T, BlockPair>&, const Allocator<U, BlockPair>&) noexcept { return false; }

}  // namespace staticblock

#endif
