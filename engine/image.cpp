#include "engine/image.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <new>
#include <string>

#include "engine/messages.h"
#include "engine/system.h"

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

}  // namespace

void initImage(Image& image) {
    image.width = 0;
    image.height = 0;
    image.bytesPerLine = 0;
    image.bitsPerPixel = 0;
    image.dataSize = 0;
    image.pixels = nullptr;
    image.dataFormat = 0;
    image.linearSamples = 0;
    image.darkSubtracted = 0;
    image.exposureTime = std::nan("");
    image.dateTimeOriginal.clear();
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

PixelBlock* allocImagePixels(const Image& image, bool cleared, int64_t decoderBytes) {
    // Sizes past what int64 holds cannot be had anyway; they are counted as the most.
    const int64_t most = std::numeric_limits<int64_t>::max();
    if (decoderBytes > 0) {
        const int64_t total =
            decoderBytes > most - image.dataSize ? most : decoderBytes + image.dataSize;
        if (!allocationAllowed(total)) {
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

bool widenSamples(Image& image) {
    if (image.bitsPerPixel != 32 || pixelData(image) == nullptr)
        return true;
    const int64_t width = image.width;
    const int64_t size = image.height * width * 8;
    PixelBlock* wide = allocPixels(size);
    if (wide == nullptr)
        return false;
    const uint8_t* from = pixelData(image);
    uint8_t* to = pixelData(wide);
    for (int64_t y = 0; y < image.height; ++y) {
        const uint8_t* s = from + y * image.bytesPerLine;
        uint8_t* d = to + y * width * 8;
        for (int64_t i = 0; i < width * 4; ++i)
            store16(d + 2 * i, static_cast<uint16_t>(s[i] * 257));
    }
    freePixels(image.pixels);
    image.pixels = wide;
    image.bitsPerPixel = 64;
    image.bytesPerLine = width * 8;
    image.dataSize = size;
    return true;
}

void freeStringArray(std::vector<std::string>& array, int count) {
    const std::size_t n = count < 0 ? 0 : std::min<std::size_t>(array.size(), count);
    for (std::size_t i = 0; i < n; ++i)
        std::string().swap(array[i]);
}
