#include "ornivex/common/result_memory.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ornivex/common/numpy_api.hpp"

namespace ornivex {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
// Blocks under three quarters of a huge page come from the heap: a whole
// huge page would waste more than a quarter of itself on them.
constexpr std::size_t mapped_from = huge_page / 4 * 3;

// Every block starts with this header: the bytes asked for, and the length
// of the mapped region the block is (0 for a heap block).  The data follow a
// cache line after the block's start, so a region's data are line-aligned
// (a heap block's are as aligned as malloc's, as NumPy's own are).
struct Header {
    std::size_t bytes;
    std::size_t region;
};
constexpr std::size_t header_room = 64;
static_assert(sizeof(Header) <= header_room);

void* data_of(Header* header) noexcept { return reinterpret_cast<char*>(header) + header_room; }
Header* header_of(void* data) noexcept { return reinterpret_cast<Header*>(static_cast<char*>(data) - header_room); }

std::size_t region_for(std::size_t bytes) noexcept {
    return (header_room + bytes + huge_page - 1) & ~(huge_page - 1);
}

// A region of whole, aligned huge pages: mapped with one page to spare,
// then trimmed to the aligned part.  Fresh mappings read as zero.
Header* map_region(std::size_t region) noexcept {
    void* mapped = mmap(nullptr, region + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* start = static_cast<char*>(mapped);
    auto* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + huge_page - 1) &
                                            ~std::uintptr_t{huge_page - 1});
    if (aligned != start) munmap(start, aligned - start);
    if (start + huge_page != aligned) munmap(aligned + region, start + huge_page - aligned);
    madvise(aligned, region, MADV_HUGEPAGE);  // only advice: 4 KB pages serve too
    auto* header = reinterpret_cast<Header*>(aligned);
    header->region = region;
    return header;
}

// Regions freed lately, kept for the next results: a long table's results
// are made again and again at the same sizes, and a kept region spares the
// system's mapping and clearing of every page.  The system may still take a
// kept region's pages back when it runs short (MADV_FREE); they then read as
// zero, the header included, so a region's length is kept here.  At most
// `most_regions` regions and `most_bytes` bytes are kept, the oldest given
// back first.
class KeptRegions {
public:
    // The smallest kept region that holds `region` bytes without wasting a
    // fifth of itself, or null.
    Header* take(std::size_t region) noexcept {
        std::lock_guard<std::mutex> guard(lock_);
        int best = -1;
        for (int k = 0; k < count_; ++k) {
            const std::size_t size = kept_[k].region;
            if (size >= region && size - region <= size / 5 && (best < 0 || size < kept_[best].region)) best = k;
        }
        if (best < 0) return nullptr;
        const Kept taken = kept_[best];
        drop(best);
        taken.start->region = taken.region;
        return taken.start;
    }

    // Keeps the region, or gives it back to the system when it alone is too
    // large to keep.
    void keep(Header* header) noexcept {
        const Kept region{header, header->region};
        if (region.region > most_bytes) {
            munmap(region.start, region.region);
            return;
        }
        madvise(region.start, region.region, MADV_FREE);
        std::lock_guard<std::mutex> guard(lock_);
        while (count_ == most_regions || bytes_ + region.region > most_bytes) {
            munmap(kept_[0].start, kept_[0].region);
            drop(0);
        }
        kept_[count_++] = region;
        bytes_ += region.region;
    }

private:
    struct Kept {
        Header* start;
        std::size_t region;
    };

    void drop(int k) noexcept {
        bytes_ -= kept_[k].region;
        for (; k + 1 < count_; ++k) kept_[k] = kept_[k + 1];
        --count_;
    }

    static constexpr int most_regions = 32;
    static constexpr std::size_t most_bytes = std::size_t{256} << 20;
    std::mutex lock_;
    Kept kept_[most_regions] = {};
    int count_ = 0;
    std::size_t bytes_ = 0;
};

// Never destroyed: arrays may be freed after static destructors have run.
KeptRegions& kept_regions() {
    static KeptRegions* const kept = new KeptRegions;
    return *kept;
}

Header* region_block(std::size_t bytes, bool zeroed) noexcept {
    const std::size_t region = region_for(bytes);
    Header* header = kept_regions().take(region);
    if (header && zeroed) std::memset(data_of(header), 0, bytes);
    if (!header) header = map_region(region);
    if (header) header->bytes = bytes;
    return header;
}

Header* heap_block(std::size_t bytes, bool zeroed) noexcept {
    void* block = zeroed ? std::calloc(1, header_room + bytes) : std::malloc(header_room + bytes);
    if (!block) return nullptr;
    auto* header = static_cast<Header*>(block);
    header->bytes = bytes;
    header->region = 0;
    return header;
}

void release(Header* header) noexcept {
    if (header->region)
        kept_regions().keep(header);
    else
        std::free(header);
}

void* allocate(void*, std::size_t bytes) noexcept {
    if (bytes > SIZE_MAX - header_room - huge_page) return nullptr;
    Header* header = bytes >= mapped_from ? region_block(bytes, false) : heap_block(bytes, false);
    return header ? data_of(header) : nullptr;
}

void* allocate_zeroed(void*, std::size_t count, std::size_t size) noexcept {
    if (size && count > (SIZE_MAX - header_room - huge_page) / size) return nullptr;
    const std::size_t bytes = count * size;
    Header* header = bytes >= mapped_from ? region_block(bytes, true) : heap_block(bytes, true);
    return header ? data_of(header) : nullptr;
}

void* reallocate(void* context, void* data, std::size_t bytes) noexcept {
    if (!data) return allocate(context, bytes);
    Header* old = header_of(data);
    if (!old->region && bytes < mapped_from) {
        if (bytes > SIZE_MAX - header_room) return nullptr;
        auto* header = static_cast<Header*>(std::realloc(old, header_room + bytes));
        if (!header) return nullptr;
        header->bytes = bytes;
        return data_of(header);
    }
    void* moved = allocate(context, bytes);
    if (!moved) return nullptr;
    std::memcpy(moved, data, old->bytes < bytes ? old->bytes : bytes);
    release(old);
    return moved;
}

void deallocate(void*, void* data, std::size_t) noexcept {
    if (data) release(header_of(data));
}

PyDataMem_Handler handler = {
    "ornivex_result_memory", 1, {nullptr, allocate, allocate_zeroed, reallocate, deallocate},
};

// The handler as NumPy takes it; made once, kept for the life of the process
// (every array made with it holds a reference).
PyObject* handler_capsule() {
    static PyObject* capsule = nullptr;
    if (!capsule) capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
    return capsule;
}

}  // namespace

bool ResultMemory::install() {
    PyObject* capsule = handler_capsule();
    if (!capsule) return false;
    previous_ = Owned::steal(PyDataMem_SetHandler(capsule));
    return static_cast<bool>(previous_);
}

ResultMemory::~ResultMemory() {
    if (!previous_) return;
    PyObject* type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);  // restoring must not clear a pending error
    Owned ours = Owned::steal(PyDataMem_SetHandler(previous_.get()));
    if (!ours) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

}  // namespace ornivex
