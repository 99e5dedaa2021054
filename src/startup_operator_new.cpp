// The program's operator new and delete.
//
// Why this file exists: every run builds the MAC format check's regular
// expression, which makes about 1,600 small allocations (under 30 KB in all)
// and frees nearly all of them again before the program ends. Handing them
// out from a static block, and not taking them back, spares the C library's
// allocator that work on every start. Past the block, and for whatever the
// block cannot hold, the heap serves as usual. The program has one thread.
//
// Address-sanitizer builds keep the sanitizer's own operators, which check
// every allocation's bounds and lifetime.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MACTOSN_ADDRESS_SANITIZER
#endif
#endif

#if !defined(__SANITIZE_ADDRESS__) && !defined(MACTOSN_ADDRESS_SANITIZER)

namespace {

constexpr std::size_t startupBlockBytes = 64 * 1024;
constexpr std::size_t startupAlignment = alignof(std::max_align_t);
alignas(startupAlignment) unsigned char startupBlock[startupBlockBytes];
unsigned char* startupBlockNext = startupBlock;

bool inStartupBlock(const void* memory) {
    const auto address = reinterpret_cast<std::uintptr_t>(memory);
    return address >= reinterpret_cast<std::uintptr_t>(startupBlock) &&
           address < reinterpret_cast<std::uintptr_t>(startupBlock + startupBlockBytes);
}

}  // namespace

void* operator new(std::size_t bytes) {
    const std::size_t rounded = (bytes + startupAlignment - 1) & ~(startupAlignment - 1);
    if (rounded != 0 && rounded <= static_cast<std::size_t>(startupBlock + startupBlockBytes - startupBlockNext)) {
        void* const memory = startupBlockNext;
        startupBlockNext += rounded;
        return memory;
    }
    for (;;) {
        if (void* const memory = std::malloc(bytes != 0 ? bytes : 1)) {
            return memory;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void operator delete(void* memory) noexcept {
    if (!inStartupBlock(memory)) {
        std::free(memory);
    }
}

void operator delete(void* memory, std::size_t) noexcept {
    operator delete(memory);
}

#endif
