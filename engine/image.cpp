#include "engine/image.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <new>
#include <string>

#include "engine/messages.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVANE_ASAN 1
#endif
#endif

struct PixelBlock {
    uint8_t* data = nullptr;
    std::size_t size = 0;
    bool mapped = false;
};

namespace {

std::atomic<AllocationFilter> allocationFilter{nullptr};

// Below this a block cannot hurt the machine, so the memory check is skipped.
constexpr int64_t kCheckedBlockSize = int64_t{64} << 20;

// Reads one "Name:   value kB" line of /proc/meminfo, in bytes; -1 when absent.
int64_t meminfoValue(const std::string& meminfo, const char* name) {
    const std::size_t at = meminfo.find(name);
    if (at == std::string::npos)
        return -1;
    const char* text = meminfo.c_str() + at + std::strlen(name);
    char* end = nullptr;
    const long long kb = std::strtoll(text, &end, 10);
    if (end == text || kb < 0)
        return -1;
    return static_cast<int64_t>(kb) * 1024;
}

int64_t readSmallFileNumber(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max")
        return -1;
    char* end = nullptr;
    const long long value = std::strtoll(word.c_str(), &end, 10);
    return (end == word.c_str() || value < 0) ? -1 : static_cast<int64_t>(value);
}

// The room under one cgroup's limit; -1 when it sets none. A limit above the machine's memory
// is none: cgroup v1 writes "unlimited" as a huge number.
int64_t cgroupRoom(const std::string& limitFile, const std::string& usageFile, int64_t physical) {
    const int64_t limit = readSmallFileNumber(limitFile);
    if (limit < 0 || limit > physical)
        return -1;
    const int64_t usage = readSmallFileNumber(usageFile);
    return usage < 0 ? limit : limit > usage ? limit - usage : 0;
}

// The smallest room under the limits of a cgroup and each of its ancestors: a parent's limit
// binds its children whatever theirs say. mount is the hierarchy's directory, path the
// cgroup's as /proc/self/cgroup gives it.
int64_t smallestRoomUp(const std::string& mount, std::string path, const char* limitName,
                       const char* usageName, int64_t physical) {
    // A path outside the namespace's view ("/../..") has no directory under the mount; the
    // mount's own files are still the innermost visible limit.
    if (path.find("/..") != std::string::npos || path.empty() || path[0] != '/')
        path = "/";
    int64_t smallest = -1;
    for (;;) {
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        const std::string dir = mount + (path == "/" ? "" : path) + "/";
        const int64_t room = cgroupRoom(dir + limitName, dir + usageName, physical);
        if (room >= 0 && (smallest < 0 || room < smallest))
            smallest = room;
        if (path == "/")
            return smallest;
        path.erase(std::max<std::size_t>(path.rfind('/'), 1));
    }
}

// Memory the system can actually hand out now. Linux over-commits anonymous mappings, so a
// block that does not fit would be granted and the process killed later when touched.
int64_t availableMemory() {
    std::ifstream in("/proc/meminfo");
    const std::string meminfo((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    int64_t available = meminfoValue(meminfo, "MemAvailable:");
    if (available < 0)
        return std::numeric_limits<int64_t>::max();
    const int64_t swap = meminfoValue(meminfo, "SwapFree:");
    if (swap > 0)
        available += swap;
    // A container's own limit is often far below the host's free memory.
    const int64_t room = cgroupMemoryRoom("");
    if (room >= 0 && room < available)
        available = room;
    // An address-space limit (ulimit -v) caps what can be mapped, whatever the machine has.
    struct rlimit addressSpace {};
    if (getrlimit(RLIMIT_AS, &addressSpace) == 0 && addressSpace.rlim_cur != RLIM_INFINITY) {
        std::ifstream statm("/proc/self/statm");
        int64_t pages = -1;
        if (statm >> pages && pages >= 0) {
            const int64_t cap = static_cast<int64_t>(
                std::min<rlim_t>(addressSpace.rlim_cur, std::numeric_limits<int64_t>::max()));
            const int64_t used = pages * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
            const int64_t room = cap > used ? cap - used : 0;
            if (room < available)
                available = room;
        }
    }
    return available;
}

}  // namespace

int64_t cgroupMemoryRoom(const std::string& root) {
    const int64_t pages = sysconf(_SC_PHYS_PAGES);
    const int64_t pageSize = sysconf(_SC_PAGESIZE);
    const int64_t physical =
        pages > 0 && pageSize > 0 ? pages * pageSize : std::numeric_limits<int64_t>::max();
    // Lines are "id:controllers:path": "0::path" for the unified (v2) hierarchy, a
    // comma-separated list holding "memory" for v1's memory controller.
    std::string unifiedPath = "/";
    std::string memoryPath = "/";
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const std::string path = line.substr(second + 1);
        if (line.compare(0, second + 1, "0::") == 0) {
            unifiedPath = path;
        } else if (controllers.find(",memory,") != std::string::npos) {
            memoryPath = path;
        }
    }
    const int64_t unified = smallestRoomUp(root + "/sys/fs/cgroup", unifiedPath, "memory.max",
                                           "memory.current", physical);
    const int64_t v1 = smallestRoomUp(root + "/sys/fs/cgroup/memory", memoryPath,
                                      "memory.limit_in_bytes", "memory.usage_in_bytes", physical);
    return unified < 0 ? v1 : v1 < 0 ? unified : std::min(unified, v1);
}

void initImage(Image& image) {
    image.width = 0;
    image.height = 0;
    image.bytesPerLine = 0;
    image.bitsPerPixel = 0;
    image.dataSize = 0;
    image.pixels = nullptr;
    image.dataFormat = 0;
}

void copyImageHeader(const Image& source, Image& destination) {
    PixelBlock* keep = destination.pixels;
    destination = source;
    destination.pixels = keep;
}

int compareImages(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height && a.dataFormat == b.dataFormat ? 1 : 0;
}

void setAllocationFilter(AllocationFilter filter) {
    allocationFilter.store(filter);
}

bool allocationAllowed(int64_t size) {
    if (size <= 0)
        return false;
    if (static_cast<uint64_t>(size) > std::numeric_limits<std::size_t>::max() / 2)
        return false;
    const AllocationFilter filter = allocationFilter.load();
    if (filter != nullptr && !filter(size))
        return false;
    return size < kCheckedBlockSize || size <= availableMemory();
}

namespace {

// Blocks of a run come and go in the same few sizes (one per frame); mapping and zeroing fresh
// pages for every frame costs more than clearing a block that was just given back. A few
// freed blocks wait here until the run ends.
constexpr int64_t kCachedMinimum = int64_t{4} << 20;
constexpr std::size_t kCachedBlocks = 4;
std::mutex cacheMutex;
std::vector<PixelBlock*> cachedBlocks;

PixelBlock* takeCachedBlock(int64_t size, bool clear) {
    if (size < kCachedMinimum)
        return nullptr;
    PixelBlock* block = nullptr;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        for (std::size_t i = 0; i < cachedBlocks.size(); ++i) {
            if (cachedBlocks[i]->size == static_cast<std::size_t>(size)) {
                block = cachedBlocks[i];
                cachedBlocks.erase(cachedBlocks.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    if (block != nullptr && clear)
        std::memset(block->data, 0, block->size);
    return block;
}

void releaseBlock(PixelBlock* block) {
    if (block->mapped) {
        munmap(block->data, block->size);
    } else {
        std::free(block->data);
    }
    delete block;
}

}  // namespace

void releaseCachedPixels() {
    std::vector<PixelBlock*> blocks;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        blocks.swap(cachedBlocks);
    }
    for (PixelBlock* block : blocks)
        releaseBlock(block);
}

namespace {

// A block of size bytes, or nullptr; says nothing either way. Fresh memory is always zero,
// reused memory only when clear is set.
std::atomic<int64_t> blocksInUse{0};

PixelBlock* newBlock(int64_t size, bool clear) {
    if (!allocationAllowed(size))
        return nullptr;
    if (PixelBlock* reused = takeCachedBlock(size, clear)) {
        ++blocksInUse;
        return reused;
    }

    auto* block = new (std::nothrow) PixelBlock;
    if (block == nullptr)
        return nullptr;
    block->size = static_cast<std::size_t>(size);
#ifdef QUORVANE_ASAN
    // Heap blocks let the address sanitizer see overruns that a mapping would hide.
    block->data = static_cast<uint8_t*>(std::calloc(block->size, 1));
#else
    // Every byte of a block is written soon (decoded into, or summed into): mapping the pages
    // in one go costs far less than a fault for each of them.
    void* mapping = mmap(nullptr, block->size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    block->data = mapping == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapping);
    block->mapped = true;
#endif
    if (block->data == nullptr) {
        delete block;
        return nullptr;
    }
    ++blocksInUse;
    return block;
}

void reportAllocationFailure(int64_t size) {
    reportError("Error allocating %ld KB of memory", static_cast<long>(size / 1024));
}

}  // namespace

PixelBlock* allocPixels(int64_t size) {
    PixelBlock* block = newBlock(size, true);
    if (block == nullptr)
        reportAllocationFailure(size);
    return block;
}

PixelBlock* allocScratchPixels(int64_t size) {
    return newBlock(size, false);
}

namespace {
thread_local int64_t imageReserve = 0;
thread_local bool imageReserveRefused = false;
}  // namespace

void setImageReserve(int64_t bytesPerPixel) {
    imageReserve = bytesPerPixel > 0 ? bytesPerPixel : 0;
    imageReserveRefused = false;
}

bool refusedForImageReserve() {
    return imageReserveRefused;
}

PixelBlock* allocImagePixels(const Image& image, bool cleared, int64_t decoderBytes) {
    // Sizes past what int64 holds cannot be had anyway; they are counted as the most.
    const int64_t most = std::numeric_limits<int64_t>::max();
    int64_t reserve = 0;
    if (imageReserve > 0 && image.width > 0 && image.height > 0) {
        const int64_t pixels = int64_t{image.width} * image.height;
        reserve = pixels > most / imageReserve ? most : pixels * imageReserve;
    }
    // The decoder's buffer is gone before the accumulator is taken: the larger of the two is
    // what must fit beside the image.
    const int64_t beside = std::max(reserve, decoderBytes);
    if (beside > 0) {
        const int64_t total = beside > most - image.dataSize ? most : beside + image.dataSize;
        if (!allocationAllowed(total)) {
            imageReserveRefused = reserve > decoderBytes;
            reportAllocationFailure(total);
            return nullptr;
        }
    }
    PixelBlock* block = newBlock(image.dataSize, cleared);
    if (block == nullptr)
        reportAllocationFailure(image.dataSize);
    return block;
}

int64_t pixelBlocksInUse() {
    return blocksInUse.load();
}

void freePixels(PixelBlock* block) {
    if (block == nullptr)
        return;
    --blocksInUse;
    if (block->mapped && static_cast<int64_t>(block->size) >= kCachedMinimum) {
        std::lock_guard<std::mutex> lock(cacheMutex);
        if (cachedBlocks.size() < kCachedBlocks) {
            cachedBlocks.push_back(block);
            return;
        }
    }
    releaseBlock(block);
}

uint8_t* pixelData(const PixelBlock* block) {
    return block == nullptr ? nullptr : block->data;
}

namespace {

uint16_t load16(const uint8_t* at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void store16(uint8_t* at, uint16_t value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

void expandToFourSamples(Image& image) {
    uint8_t* data = pixelData(image);
    const int64_t width = image.width;
    if (image.bitsPerPixel == 24 && data != nullptr) {
        // Backwards, so no source byte is overwritten before it has been read.
        for (int64_t y = image.height - 1; y >= 0; --y) {
            for (int64_t x = width - 1; x >= 0; --x) {
                const uint8_t* s = data + y * image.bytesPerLine + 3 * x;
                const uint8_t s0 = s[0], s1 = s[1], s2 = s[2];
                uint8_t* d = data + (y * width + x) * 4;
                d[0] = 255;
                d[1] = s0;
                d[2] = s1;
                d[3] = s2;
            }
        }
        image.bitsPerPixel = 32;
        image.bytesPerLine = 4 * width;
    } else if (image.bitsPerPixel == 48 && data != nullptr) {
        for (int64_t y = image.height - 1; y >= 0; --y) {
            for (int64_t x = width - 1; x >= 0; --x) {
                const uint8_t* s = data + (y * (image.bytesPerLine / 2) + 3 * x) * 2;
                const uint16_t s0 = load16(s), s1 = load16(s + 2), s2 = load16(s + 4);
                uint8_t* d = data + (y * width + x) * 8;
                store16(d, 65535);
                store16(d + 2, s0);
                store16(d + 4, s1);
                store16(d + 6, s2);
            }
        }
        image.bitsPerPixel = 64;
        image.bytesPerLine = 8 * width;
    }
    image.dataSize = image.height * image.bytesPerLine;
}

void narrowSamples(Image& image) {
    if (image.bitsPerPixel < 48)
        return;
    uint8_t* data = pixelData(image);
    const int64_t samples = image.bitsPerPixel / 16;
    const int64_t width = image.width;
    if (data != nullptr) {
        // Forwards: each destination byte lies at or before the bytes still to be read.
        for (int64_t y = 0; y < image.height; ++y) {
            for (int64_t x = 0; x < width; ++x) {
                const uint8_t* s = data + y * image.bytesPerLine + (image.bitsPerPixel / 8) * x;
                uint8_t* d = data + samples * (y * width + x);
                for (int64_t i = 0; i < samples; ++i) {
                    d[i] = static_cast<uint8_t>(load16(s + 2 * i) >> 8);
                }
            }
        }
    }
    image.bitsPerPixel /= 2;
    image.bytesPerLine = width * image.bitsPerPixel / 8;
    image.dataSize = image.height * image.bytesPerLine;
}

void freeStringArray(std::vector<std::string>& array, int count) {
    const std::size_t n = count < 0 ? 0 : std::min<std::size_t>(array.size(), count);
    for (std::size_t i = 0; i < n; ++i)
        std::string().swap(array[i]);
}
