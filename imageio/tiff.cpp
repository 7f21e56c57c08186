// TIFF adapter over libtiff. Contiguous RGB is read row by row so that 16-bit samples
// survive; everything else goes through the library's RGBA reader, which delivers 8-bit
// RGBA bottom row first.
#include "imageio/tiff.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <tiffio.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "imageio/filenames.h"
#include "imageio/layout.h"

namespace {

// libtiff's default handlers print to stderr; a codec never prints, and a message box per
// library warning would bury the user, so the library's texts become diagnostics.
void forwardError(const char* module, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    diagnostic("TIFF error: %s: %s\n", module != nullptr ? module : "", text);
}

void forwardWarning(const char* module, const char* format, va_list arguments) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    diagnostic("TIFF warning: %s: %s\n", module != nullptr ? module : "", text);
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        TIFFSetErrorHandler(forwardError);
        TIFFSetWarningHandler(forwardWarning);
    });
}

// The only schemes we promise to decode; the rest would fail or, on the row-by-row path,
// silently produce garbage rows.
bool readableCompression(uint16_t compression) {
    return compression == COMPRESSION_NONE || compression == COMPRESSION_PACKBITS ||
           compression == COMPRESSION_THUNDERSCAN || compression == COMPRESSION_NEXT;
}

uint8_t* allocateBuffer(int64_t size) {
    if (size <= 0 || !allocationAllowed(size))
        return nullptr;
    return static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
}

// Per 4-sample pixel: lastToFront turns (s0, s1, s2, s3) into (s3, s0, s1, s2), otherwise
// the inverse.
void rotateSamples(uint8_t* row, int count, int bitsPerPixel, bool lastToFront) {
    if (bitsPerPixel != 32 && bitsPerPixel != 64)
        return;
    const int sampleBytes = bitsPerPixel / 32;
    const int pixelBytes = 4 * sampleBytes;
    for (int x = 0; x < count; ++x) {
        uint8_t* pixel = row + static_cast<int64_t>(x) * pixelBytes;
        const int middle = lastToFront ? 3 * sampleBytes : sampleBytes;
        std::rotate(pixel, pixel + middle, pixel + pixelBytes);
    }
}

// The RGBA reader's one decode buffer: a strip or a tile, for separate planes one per plane
// it uses (at most four). Sizes past any machine are cut to a value that still adds safely.
int64_t rgbaReaderBufferSize(TIFF* tif, uint16_t planar) {
    constexpr uint64_t kBeyondAnyMachine = uint64_t{1} << 60;
    const uint64_t unit = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    const uint64_t planes = planar == PLANARCONFIG_SEPARATE ? 4 : 1;
    return static_cast<int64_t>(std::min(unit, kBeyondAnyMachine) * planes);
}

// PackBits, the densest of the schemes we decode that has a bound, makes at most 128 bytes
// of 2. A file holding less than 1/128 of the sample bytes it claims cannot be the image it
// describes. (NeXT is left out: one short code fills a row of any width.)
bool claimsMoreThanFileHolds(TIFF* tif, uint16_t compression, uint32_t height) {
    if (compression == COMPRESSION_NEXT)
        return false;
    const uint64_t fileBytes = TIFFGetSizeProc(tif)(TIFFClientdata(tif));
    const uint64_t rowBytes = TIFFRasterScanlineSize64(tif);
    return static_cast<double>(rowBytes) * height > 128.0 * static_cast<double>(fileBytes);
}

int failRead(Image* image) {
    reportError("Could not read tiff-data");
    freePixels(image->pixels);
    image->pixels = nullptr;
    return -1;
}

// The RGBA reader's raster is bottom row first, each pixel R G B A; the image wants the
// top row first with A in front.
int turnUpright(Image& image) {
    uint8_t* spare = allocateBuffer(image.bytesPerLine);
    if (spare == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    uint8_t* pixels = pixelData(image);
    const auto line = static_cast<size_t>(image.bytesPerLine);
    for (int32_t i = 0; i < image.height / 2; ++i) {
        uint8_t* top = pixels + i * image.bytesPerLine;
        uint8_t* bottom = pixels + (image.height - 1 - i) * image.bytesPerLine;
        rgbaToArgbRow(top, image.width, 32);
        rgbaToArgbRow(bottom, image.width, 32);
        std::memcpy(spare, top, line);
        std::memcpy(top, bottom, line);
        std::memcpy(bottom, spare, line);
    }
    if (image.height % 2 != 0) {
        rgbaToArgbRow(pixels + (image.height / 2) * image.bytesPerLine, image.width, 32);
    }
    std::free(spare);
    return 0;
}

bool setTags(TIFF* tif, const Image& image) {
    const auto bitsPerSample = static_cast<uint16_t>(image.bitsPerPixel >= 48 ? 16 : 8);
    const auto samples =
        static_cast<uint16_t>(image.bitsPerPixel == 24 || image.bitsPerPixel == 48 ? 3 : 4);
    const auto width = static_cast<uint32_t>(image.width);
    const auto height = static_cast<uint32_t>(image.height);
    // No ExtraSamples and no resolution: readers get exactly these fields.
    return TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1 &&
           TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1 &&
           TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bitsPerSample) == 1 &&
           TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == 1 &&
           TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
           TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) == 1 &&
           TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS) == 1 &&
           TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
           TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height) == 1;
}

int writeRows(TIFF* tif, const Image& image) {
    const int64_t size =
        std::max(static_cast<int64_t>(TIFFScanlineSize64(tif)), image.bytesPerLine);
    uint8_t* row = allocateBuffer(size);
    if (row == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    const uint8_t* pixels = pixelData(image);
    int result = 0;
    for (int32_t y = 0; y < image.height && result == 0; ++y) {
        std::memcpy(row, pixels + y * image.bytesPerLine, static_cast<size_t>(image.bytesPerLine));
        argbToRgbaRow(row, image.width, image.bitsPerPixel);
        if (TIFFWriteScanline(tif, row, static_cast<uint32_t>(y), 0) < 0)
            result = -1;
    }
    std::free(row);
    // The strip and the directory reach the disk here; a failure would leave a truncated
    // file that the save dispatch must not rename over a good one.
    if (result == 0 && TIFFFlush(tif) != 1)
        result = -1;
    if (result != 0)
        reportError("Could not write TIFF-file");
    return result;
}

}  // namespace

void rgbaToArgbRow(uint8_t* row, int count, int bitsPerPixel) {
    rotateSamples(row, count, bitsPerPixel, true);
}

void argbToRgbaRow(uint8_t* row, int count, int bitsPerPixel) {
    rotateSamples(row, count, bitsPerPixel, false);
}

int readTIFF(Image& image, const char* path) {
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0) {
        reportError("Could not get filename");
        return -1;
    }
    installHandlers();
    TIFF* tif = TIFFOpen(fullPath.c_str(), "r");
    if (tif == nullptr) {
        reportError("Could not open tiff-file");
        return -1;
    }
    const int result = readTIFFData(&image, tif);
    TIFFClose(tif);
    return result;
}

int readTIFFData(Image* image, TIFF* tif) {
    if (image == nullptr || tif == nullptr)
        return -1;
    installHandlers();
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bitsPerSample = 1;
    uint16_t photometric = 0;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bitsPerSample);
    // Without the tag the RGBA reader guesses the colour model from the sample count.
    const bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);

    initImage(*image);
    const bool rowByRow =
        hasPhotometric && photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG;
    if (!readableCompression(compression))
        return failRead(image);
    // Our layouts exist for 8 and 16 bits per sample only.
    if (rowByRow && bitsPerSample != 8 && bitsPerSample != 16)
        return failRead(image);

    const int bitsPerPixel = rowByRow ? 4 * bitsPerSample : 32;
    const int64_t bytesPerLine = static_cast<int64_t>(width) * (bitsPerPixel / 8);
    // Refuse sizes that our int32 fields or the RGBA reader's 32-bit pixel count cannot hold
    // before anything is allocated.
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX ||
        static_cast<uint64_t>(width) * height > UINT32_MAX) {
        return failRead(image);
    }
    // A tiny file claiming a huge image is refused before anything is allocated for it.
    if (claimsMoreThanFileHolds(tif, compression, height))
        return failRead(image);
    image->width = static_cast<int32_t>(width);
    image->height = static_cast<int32_t>(height);
    image->bitsPerPixel = bitsPerPixel;
    image->bytesPerLine = bytesPerLine;
    image->dataSize = bytesPerLine * image->height;
    // The RGBA reader decodes a strip or tile at a time into a buffer of its own, which for a
    // file in one strip with wide samples (16 bits, extra samples) outgrows our pixels. It is
    // asked for together with them, so that it cannot be what exhausts the machine.
    image->pixels =
        allocImagePixels(*image, true, rowByRow ? 0 : rgbaReaderBufferSize(tif, planar));
    if (image->pixels == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    if (rowByRow)
        return readTIFFScanlines(*image, tif);

    // The raster is 32-bit words, R G B A in memory on a little-endian host.
    auto* raster = reinterpret_cast<uint32_t*>(pixelData(*image));
    if (TIFFReadRGBAImage(tif, width, height, raster, 0) == 0)
        return failRead(image);
    if (turnUpright(*image) != 0) {
        freePixels(image->pixels);
        image->pixels = nullptr;
        return -1;
    }
    return 0;
}

int readTIFFScanlines(Image& image, TIFF* tif) {
    uint16_t samples = 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (samples > 4) {
        freePixels(image.pixels);
        image.pixels = nullptr;
        return -1;
    }
    if (samples < 3 || (image.bitsPerPixel != 32 && image.bitsPerPixel != 64)) {
        return failRead(&image);
    }
    if (samples == 3) {
        // Packed rows first; expanded in place at the end, the buffer keeps its 4-sample size.
        image.bitsPerPixel = image.bitsPerPixel * 3 / 4;
        image.bytesPerLine = image.bytesPerLine * 3 / 4;
    }
    const auto scanlineSize = static_cast<int64_t>(TIFFScanlineSize64(tif));
    if (scanlineSize < image.bytesPerLine)
        return failRead(&image);
    uint8_t* buffer = allocateBuffer(scanlineSize);
    if (buffer == nullptr) {
        reportError("Not enough memory");
        freePixels(image.pixels);
        image.pixels = nullptr;
        return -1;
    }
    uint8_t* pixels = pixelData(image);
    for (int32_t y = 0; y < image.height; ++y) {
        if (TIFFReadScanline(tif, buffer, static_cast<uint32_t>(y), 0) < 0) {
            std::free(buffer);
            return failRead(&image);
        }
        rgbaToArgbRow(buffer, image.width, image.bitsPerPixel);
        std::memcpy(pixels + y * image.bytesPerLine, buffer,
                    static_cast<size_t>(image.bytesPerLine));
    }
    std::free(buffer);
    expandToFourSamples(image);
    return 0;
}

int writeTIFF(const Image& image, const char* path) {
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0) {
        reportError("Could not get filename");
        return -1;
    }
    if (!writableLayout(image)) {
        reportError("Could not write TIFF-file");
        return -1;
    }
    installHandlers();
    TIFF* tif = TIFFOpen(fullPath.c_str(), "w");
    if (tif == nullptr) {
        reportError("Could not create TIFF-file");
        return -1;
    }
    int result = 0;
    if (!setTags(tif, image)) {
        reportError("Could not write TIFF-file");
        result = -1;
    } else {
        result = writeRows(tif, image);
    }
    TIFFClose(tif);
    return result;
}
