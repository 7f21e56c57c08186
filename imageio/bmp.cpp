#include "imageio/bmp.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "engine/messages.h"
#include "imageio/filenames.h"
#include "imageio/layout.h"

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;
// The later information headers only add fields, the colour masks first among them.
constexpr uint32_t kV4HeaderSize = 108;
constexpr uint32_t kV5HeaderSize = 124;
constexpr std::size_t kMasksSize = 12;
constexpr uint32_t kUncompressed = 0;  // BI_RGB
constexpr uint32_t kBitFields = 3;     // BI_BITFIELDS: the masks say where red, green, blue are
constexpr uint32_t kPixelDataOffset = kFileHeaderSize + kInfoHeaderSize;
constexpr uint16_t kMagic = 0x4D42;  // "BM"
constexpr uint32_t kPixelsPerMetre = 7085;
// The accumulator made from an image takes 32 bytes per pixel; this keeps one of its rows
// within 32-bit range, and width * height * 32 then fits easily in 64 bits.
constexpr int32_t kMaxWidth = INT32_MAX / 32;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;
using Buffer = std::unique_ptr<uint8_t[]>;

// All header fields are little-endian whatever the machine is.
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void put16(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
void put32(uint8_t* p, uint32_t value) {
    put16(p, value);
    put16(p + 2, value >> 16);
}

// Stored rows are padded to a multiple of 4 bytes.
int64_t fileRowSize(int32_t width, int bytesPerPixel = 3) {
    return (bytesPerPixel * int64_t{width} + 3) / 4 * 4;
}

Buffer allocRow(int64_t size) {
    if (!allocationAllowed(size))
        return nullptr;
    return Buffer(new (std::nothrow) uint8_t[static_cast<std::size_t>(size)]);
}

// A header can claim any size; checking the file's length first keeps a tiny damaged file
// from making us take gigabytes. Pipes have no length; their short reads are caught later.
bool fileHolds(std::FILE* file, int64_t bytes) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode))
        return true;
    const long position = std::ftell(file);
    return position >= 0 && info.st_size - position >= bytes;
}

uint8_t highByte(const uint8_t* pixel, int sample) {
    uint16_t value;
    std::memcpy(&value, pixel + 2 * sample, sizeof value);
    return static_cast<uint8_t>(value >> 8);
}

// One image row to a stored row: blue, green, red per pixel. The four-sample layouts lead
// with a filler that is dropped; 16-bit samples keep their high byte.
void packRow(uint8_t* out, const uint8_t* in, int32_t width, int bitsPerPixel) {
    const int samples = bitsPerPixel == 32 || bitsPerPixel == 64 ? 4 : 3;
    const int red = samples - 3;
    if (bitsPerPixel <= 32) {
        for (int32_t x = 0; x < width; ++x, in += samples, out += 3) {
            out[0] = in[red + 2];
            out[1] = in[red + 1];
            out[2] = in[red];
        }
        return;
    }
    for (int32_t x = 0; x < width; ++x, in += 2 * samples, out += 3) {
        out[0] = highByte(in, red + 2);
        out[1] = highByte(in, red + 1);
        out[2] = highByte(in, red);
    }
}

// Whether every row the writer will read lies inside the image's pixel memory and the result
// fits the format's 32-bit size fields.
bool canWrite(const Image& image) {
    return writableLayout(image) &&
           fileRowSize(image.width) * image.height <= int64_t{UINT32_MAX} - kPixelDataOffset;
}

}  // namespace

int readBMPFileHeader(Image& image, std::FILE* file, BMPLayout& layout) {
    uint8_t fileHeader[kFileHeaderSize];
    if (std::fread(fileHeader, 1, sizeof fileHeader, file) != sizeof fileHeader) {
        reportError("Error reading first BMP header segment");
        return -1;
    }
    if (get16(fileHeader) != kMagic) {
        reportError("readBMPFileHeader, BMP bad magic No");
        return -1;
    }
    // Room for the longest header, which also takes the masks that follow a 40-byte one.
    uint8_t info[kV5HeaderSize];
    const auto readInfo = [&](std::size_t from, std::size_t to) {
        if (std::fread(info + from, 1, to - from, file) == to - from)
            return true;
        reportError("Error reading second BMP header segment");
        return false;
    };
    if (!readInfo(0, kInfoHeaderSize))
        return -1;
    const uint32_t infoSize = get32(info);
    if (infoSize != kInfoHeaderSize && infoSize != kV4HeaderSize && infoSize != kV5HeaderSize) {
        reportError(
            "readBMPFileHeader, secondary header length wrong -- Not MS version 3 compatible");
        return -1;
    }
    if (!readInfo(kInfoHeaderSize, infoSize))
        return -1;
    if (get16(info + 12) != 1) {
        reportError("readBMPFileHeader, should be 1 image plane");
        return -1;
    }
    const uint16_t bits = get16(info + 14);
    if (bits != 24 && bits != 32) {
        reportError("readBMPFileHeader, only 24 bit color supported");
        return -1;
    }
    int64_t headersEnd = kFileHeaderSize + infoSize;
    const uint32_t compression = get32(info + 16);
    if (compression == kBitFields && infoSize == kInfoHeaderSize) {
        if (!readInfo(kInfoHeaderSize, kInfoHeaderSize + kMasksSize))
            return -1;
        headersEnd += kMasksSize;
    }
    // Masks are honoured only when they describe what an uncompressed file holds anyway.
    const bool plainMasks = compression == kBitFields && get32(info + 40) == 0x00FF0000 &&
                            get32(info + 44) == 0x0000FF00 && get32(info + 48) == 0x000000FF;
    if (compression != kUncompressed && !plainMasks) {
        reportError("readBMPFileHeader, only uncompressed BMP supported");
        return -1;
    }
    const auto width = static_cast<int32_t>(get32(info + 4));
    const auto storedHeight = static_cast<int32_t>(get32(info + 8));
    if (width <= 0 || storedHeight == 0 || storedHeight == INT32_MIN || width > kMaxWidth) {
        reportError("readBMPFileHeader, unsupported image dimensions");
        return -1;
    }
    layout.bytesPerPixel = bits / 8;
    layout.topDown = storedHeight < 0;

    initImage(image);
    image.width = width;
    image.height = layout.topDown ? -storedHeight : storedHeight;
    image.bitsPerPixel = 32;
    image.bytesPerLine = 4 * int64_t{width};
    image.dataSize = image.bytesPerLine * image.height;

    // Extra header data or a gap may sit between the headers and the pixels, which cannot
    // start inside the headers.
    const uint32_t offset = get32(fileHeader + 10);
    if (offset < headersEnd || std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) {
        reportError("Error reading image data");
        return -1;
    }
    return 0;
}

int readBMP(Image& image, const char* path) {
    File file(std::fopen(path, "rb"));
    if (!file) {
        reportError("readBMP, could not open file");
        return -1;
    }
    BMPLayout layout;
    if (readBMPFileHeader(image, file.get(), layout) != 0) {
        reportError("readBMP, error reading bitmap file header");
        return -1;
    }
    const int64_t rowSize = fileRowSize(image.width, layout.bytesPerPixel);
    if (!fileHolds(file.get(), rowSize * image.height)) {
        reportError("Error reading image data");
        return -1;
    }

    // From here on the pixels belong to the image, also when a later step fails.
    image.pixels = allocImagePixels(image);
    if (image.pixels == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    const Buffer row = allocRow(rowSize);
    if (!row) {
        reportError("Not enough memory");
        return -1;
    }

    uint8_t* const pixels = pixelData(image);
    for (int32_t i = 0; i < image.height; ++i) {
        if (std::fread(row.get(), 1, static_cast<std::size_t>(rowSize), file.get()) !=
            static_cast<std::size_t>(rowSize)) {
            reportError("Error reading image data");
            return -1;
        }
        // Most files store the bottom row first. Each pixel is blue, green, red, then in
        // 32-bit files a byte that is not used (alpha for some writers, which we drop).
        const int32_t y = layout.topDown ? i : image.height - 1 - i;
        uint8_t* out = pixels + y * image.bytesPerLine;
        const uint8_t* in = row.get();
        for (int32_t x = 0; x < image.width; ++x, in += layout.bytesPerPixel, out += 4) {
            out[0] = 255;
            out[1] = in[2];
            out[2] = in[1];
            out[3] = in[0];
        }
    }
    return 0;
}

int writeBMP(const Image& image, const char* path) {
    if (!canWrite(image)) {
        reportError("writeBMP, could not write image data");
        return -1;
    }
    const int64_t rowSize = fileRowSize(image.width);
    const auto imageBytes = static_cast<uint32_t>(rowSize * image.height);

    uint8_t fileHeader[kFileHeaderSize] = {};
    put16(fileHeader, kMagic);
    put32(fileHeader + 2, kPixelDataOffset + imageBytes);
    put32(fileHeader + 10, kPixelDataOffset);
    uint8_t info[kInfoHeaderSize] = {};
    put32(info, kInfoHeaderSize);
    put32(info + 4, static_cast<uint32_t>(image.width));
    put32(info + 8, static_cast<uint32_t>(image.height));  // positive: bottom-up rows
    put16(info + 12, 1);
    put16(info + 14, 24);
    put32(info + 20, imageBytes);
    put32(info + 24, kPixelsPerMetre);
    put32(info + 28, kPixelsPerMetre);

    File file(std::fopen(path, "wb"));
    if (!file) {
        reportError("writeBMP, could not open file");
        return -1;
    }
    if (std::fwrite(fileHeader, 1, sizeof fileHeader, file.get()) != sizeof fileHeader ||
        std::fwrite(info, 1, sizeof info, file.get()) != sizeof info) {
        reportError("writeBMP, could not write header");
        return -1;
    }
    const Buffer row = allocRow(rowSize);
    if (!row) {
        reportError("Not enough memory");
        return -1;
    }
    // Pad bytes at the end of each row stay zero.
    std::memset(row.get(), 0, static_cast<std::size_t>(rowSize));

    const uint8_t* const pixels = pixelData(image);
    for (int32_t i = 0; i < image.height; ++i) {
        packRow(row.get(), pixels + (image.height - 1 - i) * image.bytesPerLine, image.width,
                image.bitsPerPixel);
        if (std::fwrite(row.get(), 1, static_cast<std::size_t>(rowSize), file.get()) !=
            static_cast<std::size_t>(rowSize)) {
            reportError("writeBMP, could not write image data");
            return -1;
        }
    }

    if (!closeWrittenFile(file.release())) {
        reportError("writeBMP, could not write image data");
        return -1;
    }
    return 0;
}
