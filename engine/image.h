// The image record and its pixel memory.
//
// Every picture (input, dark frame, accumulator, output) is an Image: a header plus a
// PixelBlock that owns zero-filled pixel memory of exactly dataSize bytes. Rows follow each
// other at bytesPerLine. Layouts by bitsPerPixel:
//   24  R G B                      (codec boundary; rows may be padded)
//   32  filler R G B               (the working layout; bytesPerLine = 4 * width)
//   48  R G B, 16 bits each        (codec boundary)
//   64  filler R G B, 16 bits each
//   256 four doubles per pixel     (the accumulator; slot 0 unused, slots 1..3 linear R G B)
// Sizes and byte offsets are 64-bit so large images never overflow.
//
// Errors: allocPixels reports its failure through reportError and returns nullptr; the other
// operations cannot fail.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

struct PixelBlock;

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int64_t bytesPerLine = 0;
    int32_t bitsPerPixel = 0;
    int64_t dataSize = 0;
    PixelBlock* pixels = nullptr;
    int32_t dataFormat = 0;
    // What the file said about itself, for the run's bookkeeping.
    int32_t linearSamples = 0;           // 64-bit layout holding linear light (v / 65535): no curve
    int32_t darkSubtracted = 0;          // the reader has taken the run's dark frame off already
    double exposureTime = std::nan("");  // seconds, when the file records it
    std::string dateTimeOriginal;        // "YYYY:MM:DD HH:MM:SS", when the file records it
};

// Resets every field; the record must not own pixels at this point.
void initImage(Image& image);
// Copies every field except pixels.
void copyImageHeader(const Image& source, Image& destination);
// 1 when width, height and dataFormat are equal (bitsPerPixel is not compared), else 0.
int compareImages(const Image& a, const Image& b);

// Zero-filled pixel memory of exactly size bytes, or nullptr after reporting
// "Error allocating %ld KB of memory". Large blocks come straight from the system and are
// refused up front when the machine cannot provide them.
PixelBlock* allocPixels(int64_t size);
// Pixel memory for image (image.dataSize bytes, for width x height pixels) as allocPixels
// gives it. decoderBytes is what the codec's library takes beside it while decoding. An
// image that would not fit together with that is refused first, reporting the two together,
// so a codec never decodes what cannot be used.
// A codec that writes every byte may pass cleared false to skip zeroing reused memory.
PixelBlock* allocImagePixels(const Image& image, bool cleared = true, int64_t decoderBytes = 0);
// As allocPixels for memory the caller overwrites in full: its contents are unspecified, and a
// refusal is not reported (the caller has another way).
PixelBlock* allocScratchPixels(int64_t size);
// Releases the block and its memory; nullptr is ignored.
void freePixels(PixelBlock* block);
// Blocks allocated and not yet freed (what a run holds; kept free blocks do not count).
int64_t pixelBlocksInUse();
// Gives back the memory of recently freed blocks that are kept for reuse (runs call it when
// they end, so an idle program holds none).
void releaseCachedPixels();
// Address of the pixel memory, nullptr for no block.
uint8_t* pixelData(const PixelBlock* block);
inline uint8_t* pixelData(const Image& image) {
    return pixelData(image.pixels);
}

// In-place layout conversions; the pixel memory must already be sized for the larger layout.
// 24 -> 32 and 48 -> 64 (filler 255 / 65535 first); other layouts are left alone.
void expandToFourSamples(Image& image);
// 48 -> 24 and 64 -> 32, keeping the high byte of each 16-bit sample.
void narrowSamples(Image& image);
// 32 -> 64 into a new block (each sample times 257, so level v stands for the same fraction
// of white); other layouts are left alone. False, with the image unchanged, when the memory
// cannot be had (reported).
bool widenSamples(Image& image);

// Releases the first count entries of a text array (the array object itself stays).
void freeStringArray(std::vector<std::string>& array, int count);

// Test seam: when set, every allocPixels asks the filter first; false makes it fail as if
// the system had refused the memory.
using AllocationFilter = bool (*)(int64_t size);
void setAllocationFilter(AllocationFilter filter);
// Whether a buffer of size bytes may be taken now (the filter, plus the memory check).
// Codecs ask this before their row buffers so that failures can be injected everywhere.
bool allocationAllowed(int64_t size);
