// TIFF adapter over libtiff. RGB of 8 or 16 bits is read a scanline or tile at a time so that
// 16-bit samples and unassociated alpha survive as stored; everything else goes through the
// library's RGBA reader, which delivers 8 bits. Both place the stored rows as Orientation says,
// and both decode whatever compression the library was built with.
#include "imageio/tiff.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <tiffio.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/options.h"
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

// The schemes this build of the library decodes. Asking it rather than keeping a list of our
// own follows the library as it gains codecs, and refuses the ones a build lacks before any
// memory is taken for them.
bool readableCompression(uint16_t compression) {
    return TIFFIsCODECConfigured(compression) != 0;
}

// The most bytes that one stored byte can decode to, where a scheme bounds it; 0 where none
// does. PackBits makes at most 128 bytes of 2 (stored data and ThunderScan's 63 pixels of 4
// bits in a byte give less); Deflate at most a 258-byte match for two bits of code; LZW at most
// a 4096-byte string for a code of at least 9 bits. NeXT fills a row with one code, the fax
// codes a white row with one bit, and JPEG, ZSTD, LZMA, WebP and the rest describe a plain area
// of any size in a few bytes.
double densestExpansion(uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE:
        case COMPRESSION_PACKBITS:
        case COMPRESSION_THUNDERSCAN:
            return 128.0;
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
            return 1032.0;
        case COMPRESSION_LZW:
            return 4096.0;
        default:
            return 0.0;
    }
}

uint8_t* allocateBuffer(int64_t size) {
    if (size <= 0 || !allocationAllowed(size))
        return nullptr;
    return static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
}

struct FreeDeleter {
    void operator()(uint8_t* memory) const { std::free(memory); }
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// How the file stores its first image. The row-by-row path decodes it a unit at a time: a
// scanline, or a tile, of one plane or of all samples.
struct Stored {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t samples = 1;
    uint16_t bitsPerSample = 1;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    bool tiled = false;
    uint32_t unitWidth = 0;
    uint32_t unitLength = 1;
    int64_t unitRowBytes = 0;
    int64_t unitBytes = 0;

    bool contiguous() const { return planar != PLANARCONFIG_SEPARATE; }
    // Orientations 5-8 store the columns as rows: the picture is height x width.
    bool turned() const { return orientation >= ORIENTATION_LEFTTOP; }
};

Stored storedLayout(TIFF* tif) {
    Stored s;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &s.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &s.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s.bitsPerSample);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &s.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &s.orientation);
    if (s.orientation < ORIENTATION_TOPLEFT || s.orientation > ORIENTATION_LEFTBOT)
        s.orientation = ORIENTATION_TOPLEFT;
    s.tiled = TIFFIsTiled(tif) != 0;
    if (s.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &s.unitWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &s.unitLength);
        s.unitRowBytes = static_cast<int64_t>(TIFFTileRowSize64(tif));
        s.unitBytes = static_cast<int64_t>(TIFFTileSize64(tif));
    } else {
        s.unitWidth = s.width;
        s.unitRowBytes = s.unitBytes = static_cast<int64_t>(TIFFScanlineSize64(tif));
    }
    return s;
}

// Where the stored pixels land in the image. Orientation names where the first stored row
// and column show: 2-4 mirror the columns, the rows or both; 5-8 also make the stored rows
// columns. Both paths place rows here: the library's RGBA reader, asked to orient, would give
// 5-8 only the mirroring of 1-4 at the stored width and height.
struct Placement {
    uint8_t* pixels;
    int64_t bytesPerLine;
    int64_t pixelBytes;
    Stored stored;

    // The address of stored pixel (column, row); step leads to the next stored column.
    uint8_t* at(uint32_t column, uint32_t row, int64_t& step) const {
        const uint16_t o = stored.orientation;
        const bool backAlong = o == 2 || o == 3 || o == 7 || o == 8;
        const bool backAcross = o == 3 || o == 4 || o == 6 || o == 7;
        const int64_t along = backAlong ? int64_t{stored.width} - 1 - column : column;
        const int64_t across = backAcross ? int64_t{stored.height} - 1 - row : row;
        const int64_t alongStep = stored.turned() ? bytesPerLine : pixelBytes;
        const int64_t acrossStep = stored.turned() ? pixelBytes : bytesPerLine;
        step = backAlong ? -alongStep : alongStep;
        return pixels + along * alongStep + across * acrossStep;
    }

    // Copies count runs of size bytes, fromStep apart, from stored pixel (column, row) on,
    // to offset slot inside the pixels they belong to.
    void put(uint32_t column, uint32_t row, uint32_t count, const uint8_t* from, int64_t fromStep,
             int64_t slot, int64_t size) const {
        int64_t step = 0;
        uint8_t* to = at(column, row, step) + slot;
        if (step == size && fromStep == size) {
            std::memcpy(to, from, static_cast<size_t>(count * size));
            return;
        }
        for (uint32_t i = 0; i < count; ++i, to += step, from += fromStep)
            std::memcpy(to, from, static_cast<size_t>(size));
    }
};

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

// A decoded strip or tile (of one plane, when they are separate). Sizes past any machine are
// cut to a value that still multiplies and adds safely.
int64_t decodedUnitSize(TIFF* tif) {
    constexpr uint64_t kBeyondAnyMachine = uint64_t{1} << 56;
    const uint64_t unit = TIFFIsTiled(tif) ? TIFFTileSize64(tif) : TIFFStripSize64(tif);
    return static_cast<int64_t>(std::min(unit, kBeyondAnyMachine));
}

// The RGBA reader's one decode buffer: a strip or a tile, for separate planes one per plane
// it uses (at most four).
int64_t rgbaReaderBufferSize(TIFF* tif, uint16_t planar) {
    return decodedUnitSize(tif) * (planar == PLANARCONFIG_SEPARATE ? 4 : 1);
}

// What the codec itself holds while decoding. Stored data, run lengths, the fax codes, LZW,
// Deflate, ZSTD, LZMA and JPEG work through a strip a little at a time; WebP, LERC, JBIG,
// PixarLog, LogLuv and old-style JPEG decode a whole strip or tile into buffers of their own
// (WebP, the hungriest, was measured at 2.4 times the decoded strip). A scheme the library
// gains later is counted with the hungry ones until it is known better.
int64_t codecBufferSize(TIFF* tif, uint16_t compression) {
    switch (compression) {
        case COMPRESSION_NONE:
        case COMPRESSION_PACKBITS:
        case COMPRESSION_THUNDERSCAN:
        case COMPRESSION_NEXT:
        case COMPRESSION_CCITTRLE:
        case COMPRESSION_CCITTRLEW:
        case COMPRESSION_CCITTFAX3:
        case COMPRESSION_CCITTFAX4:
        case COMPRESSION_LZW:
        case COMPRESSION_ADOBE_DEFLATE:
        case COMPRESSION_DEFLATE:
        case COMPRESSION_ZSTD:
        case COMPRESSION_LZMA:
        case COMPRESSION_JPEG:
            return 0;
        default:
            return 3 * decodedUnitSize(tif);
    }
}

// A file holding less than its scheme's densest expansion allows for the sample bytes it
// claims cannot be the image it describes. Tiles are stored whole, also where they reach past
// the image.
bool claimsMoreThanFileHolds(TIFF* tif, uint16_t compression, uint32_t height) {
    const double expansion = densestExpansion(compression);
    if (expansion == 0.0)
        return false;
    const uint64_t fileBytes = TIFFGetSizeProc(tif)(TIFFClientdata(tif));
    const double claimed = TIFFIsTiled(tif) != 0
                               ? static_cast<double>(TIFFTileSize64(tif)) * TIFFNumberOfTiles(tif)
                               : static_cast<double>(TIFFRasterScanlineSize64(tif)) * height;
    return claimed > expansion * static_cast<double>(fileBytes);
}

int failRead(Image* image) {
    reportError("Could not read tiff-data");
    freePixels(image->pixels);
    image->pixels = nullptr;
    return -1;
}

// The RGBA reader's raster is R G B A per pixel; the image wants A in front. Asked for the
// file's own orientation the library leaves the rows as stored, and they are placed here as
// on the row-by-row path.
int readRGBA(Image& image, TIFF* tif, const Stored& stored) {
    const uint32_t width = stored.width;
    const auto rowBytes = static_cast<int64_t>(width) * 4;
    Buffer moved;
    uint8_t* raster = pixelData(image);
    if (stored.orientation != ORIENTATION_TOPLEFT) {
        moved.reset(allocateBuffer(image.dataSize));
        raster = moved.get();
        if (raster == nullptr) {
            reportError("Not enough memory");
            freePixels(image.pixels);
            image.pixels = nullptr;
            return -1;
        }
    }
    if (TIFFReadRGBAImageOriented(tif, width, stored.height, reinterpret_cast<uint32_t*>(raster),
                                  stored.orientation, 0) == 0) {
        return failRead(&image);
    }
    const Placement target{pixelData(image), image.bytesPerLine, 4, stored};
    for (uint32_t row = 0; row < stored.height; ++row) {
        uint8_t* stripe = raster + row * rowBytes;
        rgbaToArgbRow(stripe, static_cast<int>(width), 32);
        if (moved != nullptr)
            target.put(0, row, width, stripe, 4, 0, 4);
    }
    return 0;
}

// How a file is written. 8-bit PackBits in one strip, fed a row at a time, is the file this
// program has always written, and stays byte for byte that file.
struct Encoding {
    uint16_t compression = COMPRESSION_PACKBITS;
    uint16_t predictor = PREDICTOR_NONE;
    bool oneStrip = true;
};

// The encoding a TiffCompression asks for at the image's depth; false for values it does not
// have. Deflate and LZW store differences to the left neighbour, which in photographs are
// small numbers they compress far better than the levels themselves.
bool chooseEncoding(int choice, bool deep, Encoding& encoding) {
    switch (choice) {
        case TIFF_COMPRESSION_DEFAULT:
            return chooseEncoding(deep ? TIFF_COMPRESSION_DEFLATE : TIFF_COMPRESSION_PACKBITS, deep,
                                  encoding);
        case TIFF_COMPRESSION_PACKBITS:
            encoding = {COMPRESSION_PACKBITS, PREDICTOR_NONE, !deep};
            return true;
        case TIFF_COMPRESSION_DEFLATE:
            encoding = {COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL, false};
            return true;
        case TIFF_COMPRESSION_LZW:
            encoding = {COMPRESSION_LZW, PREDICTOR_HORIZONTAL, false};
            return true;
        case TIFF_COMPRESSION_NONE:
            encoding = {COMPRESSION_NONE, PREDICTOR_NONE, false};
            return true;
        default:
            return false;
    }
}

bool deepLayout(const Image& image) {
    return image.bitsPerPixel >= 48;
}

// 16 bits are always written as three samples: the filler of the 64-bit layout is not alpha.
// 8 bits keep the fourth sample of the 32-bit layout, as they always have.
uint16_t storedSamples(const Image& image) {
    return static_cast<uint16_t>(deepLayout(image) || image.bitsPerPixel == 24 ? 3 : 4);
}

// Strips of the size the library recommends (about 8 KB, at least a row) keep its buffers
// small, and cost Deflate half a percent against strips of a megabyte.
bool setTags(TIFF* tif, const Image& image, const Encoding& encoding, uint32_t& rowsPerStrip) {
    const auto bitsPerSample = static_cast<uint16_t>(deepLayout(image) ? 16 : 8);
    const auto width = static_cast<uint32_t>(image.width);
    const auto height = static_cast<uint32_t>(image.height);
    // No ExtraSamples and no resolution: readers get exactly these fields.
    const bool set = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1 &&
                     TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1 &&
                     TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bitsPerSample) == 1 &&
                     TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) == 1 &&
                     TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                     TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, storedSamples(image)) == 1 &&
                     TIFFSetField(tif, TIFFTAG_COMPRESSION, encoding.compression) == 1 &&
                     TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1;
    // The predictor belongs to the codec, so it is set after the compression.
    if (!set || (encoding.predictor != PREDICTOR_NONE &&
                 TIFFSetField(tif, TIFFTAG_PREDICTOR, encoding.predictor) != 1)) {
        return false;
    }
    rowsPerStrip = encoding.oneStrip ? height : std::min(TIFFDefaultStripSize(tif, 0), height);
    return TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) == 1;
}

// One row of our pixels as the file stores it: 24 and 48 bits as they are, 32 bits with the
// filler moved behind blue, 64 bits without the filler.
void storeRow(const Image& image, const uint8_t* from, uint8_t* to) {
    if (image.bitsPerPixel == 64) {
        for (int32_t x = 0; x < image.width; ++x)
            std::memcpy(to + x * int64_t{6}, from + x * int64_t{8} + 2, 6);
        return;
    }
    std::memcpy(to, from, static_cast<size_t>(int64_t{image.width} * (image.bitsPerPixel / 8)));
    argbToRgbaRow(to, image.width, image.bitsPerPixel);
}

// One strip is fed to the library a row at a time; several strips are handed over whole,
// which lets the library compress each in one call (with libdeflate, when it has it, several
// times faster than zlib's stream).
int writeRows(TIFF* tif, const Image& image, bool oneStrip, uint32_t rowsPerStrip) {
    const auto line = static_cast<int64_t>(TIFFScanlineSize64(tif));
    const int64_t rows = oneStrip ? 1 : rowsPerStrip;
    uint8_t* buffer = line > 0 ? allocateBuffer(line * rows) : nullptr;
    if (buffer == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    const uint8_t* pixels = pixelData(image);
    int result = 0;
    for (int32_t y = 0; y < image.height && result == 0; ++y) {
        const int64_t inStrip = oneStrip ? 0 : y % rowsPerStrip;
        storeRow(image, pixels + y * image.bytesPerLine, buffer + inStrip * line);
        if (oneStrip) {
            if (TIFFWriteScanline(tif, buffer, static_cast<uint32_t>(y), 0) < 0)
                result = -1;
        } else if (inStrip + 1 == rows || y + 1 == image.height) {
            const auto strip = static_cast<uint32_t>(y / rowsPerStrip);
            if (TIFFWriteEncodedStrip(tif, strip, buffer, (inStrip + 1) * line) < 0)
                result = -1;
        }
    }
    std::free(buffer);
    // The strips and the directory reach the disk here; a failure would leave a truncated
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
    initImage(*image);
    uint16_t photometric = 0;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    // Without the tag the RGBA reader guesses the colour model from the sample count.
    const bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) == 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    if (!readableCompression(compression))
        return failRead(image);
    // JPEG keeps colour as YCbCr, mostly with its chroma subsampled. Asked before the sizes are
    // taken, libjpeg hands out full rows of RGB instead (as the RGBA reader would ask), and
    // the scanline and strip sizes below are those of RGB.
    const bool jpegYCbCr = hasPhotometric && photometric == PHOTOMETRIC_YCBCR &&
                           compression == COMPRESSION_JPEG &&
                           TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 1;
    const Stored stored = storedLayout(tif);
    const uint16_t bitsPerSample = stored.bitsPerSample;

    // Separate planes of other depths or sample counts keep going to the RGBA reader, which
    // has always read them; interleaved RGB that the rows cannot hold is refused.
    const bool wholeSamples =
        (bitsPerSample == 8 || bitsPerSample == 16) && (stored.samples == 3 || stored.samples == 4);
    const bool rgb =
        hasPhotometric && (photometric == PHOTOMETRIC_RGB || (jpegYCbCr && stored.contiguous()));
    const bool rowByRow = rgb && (stored.contiguous() || wholeSamples);
    // Floating-point or signed samples taken for unsigned integers are noise, on either path.
    if (sampleFormat != SAMPLEFORMAT_UINT)
        return failRead(image);
    // Our layouts exist for 8 and 16 bits per sample only.
    if (rowByRow && bitsPerSample != 8 && bitsPerSample != 16)
        return failRead(image);

    const uint32_t width = stored.width;
    const uint32_t height = stored.height;
    // Refuse sizes that our int32 fields or the RGBA reader's 32-bit pixel count cannot hold
    // before anything is allocated.
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX ||
        static_cast<uint64_t>(width) * height > UINT32_MAX) {
        return failRead(image);
    }
    // A tiny file claiming a huge image is refused before anything is allocated for it.
    if (claimsMoreThanFileHolds(tif, compression, height))
        return failRead(image);
    const int bitsPerPixel = rowByRow ? 4 * bitsPerSample : 32;
    image->width = static_cast<int32_t>(stored.turned() ? height : width);
    image->height = static_cast<int32_t>(stored.turned() ? width : height);
    image->bitsPerPixel = bitsPerPixel;
    image->bytesPerLine = int64_t{image->width} * (bitsPerPixel / 8);
    image->dataSize = image->bytesPerLine * image->height;
    // The RGBA reader decodes a strip or tile at a time into a buffer of its own, which for a
    // file in one strip with wide samples (16 bits, extra samples) outgrows our pixels, and
    // needs a second raster when the rows must be moved; some codecs keep a decoded strip or
    // tile of their own on either path. All of it is asked for together with the pixels, so
    // that it cannot be what exhausts the machine. The row-by-row path asks for its scanline
    // or tile on its own.
    const int64_t decoderBytes =
        codecBufferSize(tif, compression) +
        (rowByRow ? 0
                  : rgbaReaderBufferSize(tif, stored.planar) +
                        (stored.orientation != ORIENTATION_TOPLEFT ? image->dataSize : 0));
    image->pixels = allocImagePixels(*image, true, decoderBytes);
    if (image->pixels == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    return rowByRow ? readTIFFScanlines(*image, tif) : readRGBA(*image, tif, stored);
}

int readTIFFScanlines(Image& image, TIFF* tif) {
    const Stored stored = storedLayout(tif);
    if (stored.samples > 4) {
        freePixels(image.pixels);
        image.pixels = nullptr;
        return -1;
    }
    const int64_t sampleBytes = stored.bitsPerSample / 8;
    const int64_t pixelBytes = 4 * sampleBytes;
    const int64_t unitSamples = stored.contiguous() ? stored.samples : 1;
    if (stored.samples < 3 || (stored.bitsPerSample != 8 && stored.bitsPerSample != 16) ||
        image.bitsPerPixel != 8 * pixelBytes || stored.unitWidth == 0 || stored.unitLength == 0 ||
        stored.unitRowBytes != int64_t{stored.unitWidth} * unitSamples * sampleBytes ||
        stored.unitBytes / stored.unitLength < stored.unitRowBytes) {
        return failRead(&image);
    }
    Buffer unit(allocateBuffer(stored.unitBytes));
    // Interleaved samples are put in our order one unit row at a time.
    Buffer reordered(stored.contiguous()
                         ? allocateBuffer(std::min(stored.unitWidth, stored.width) * pixelBytes)
                         : nullptr);
    if (unit == nullptr || (stored.contiguous() && reordered == nullptr)) {
        reportError("Not enough memory");
        freePixels(image.pixels);
        image.pixels = nullptr;
        return -1;
    }
    const Placement target{pixelData(image), image.bytesPerLine, pixelBytes, stored};
    const bool alpha = stored.samples == 4;
    // Separate planes leave the filler of three samples to us.
    if (!alpha && !stored.contiguous()) {
        for (int64_t at = 0; at < image.dataSize; at += pixelBytes)
            std::memset(pixelData(image) + at, 0xFF, static_cast<size_t>(sampleBytes));
    }
    // One run of a stored row: all samples of each pixel, or those of one plane. The layouts
    // keep the fourth sample (or a full filler) in front of red, green and blue.
    const auto putRun = [&](uint32_t column, uint32_t row, uint32_t count, uint16_t plane,
                            const uint8_t* from) {
        if (!stored.contiguous()) {
            target.put(column, row, count, from, sampleBytes, (plane + 1) % 4 * sampleBytes,
                       sampleBytes);
            return;
        }
        const int64_t fromBytes = stored.samples * sampleBytes;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* to = reordered.get() + i * pixelBytes;
            const uint8_t* pixel = from + i * fromBytes;
            if (alpha)
                std::memcpy(to, pixel + 3 * sampleBytes, static_cast<size_t>(sampleBytes));
            else
                std::memset(to, 0xFF, static_cast<size_t>(sampleBytes));
            std::memcpy(to + sampleBytes, pixel, static_cast<size_t>(3 * sampleBytes));
        }
        target.put(column, row, count, reordered.get(), pixelBytes, 0, pixelBytes);
    };
    const uint16_t planes = stored.contiguous() ? 1 : stored.samples;
    for (uint16_t plane = 0; plane < planes; ++plane) {
        // A plane is read from top to bottom before the next: compressed strips cannot be
        // read from the middle without decoding them from the start again.
        for (uint64_t y = 0; y < stored.height && !stored.tiled; ++y) {
            const auto row = static_cast<uint32_t>(y);
            if (TIFFReadScanline(tif, unit.get(), row, plane) < 0)
                return failRead(&image);
            putRun(0, row, stored.width, plane, unit.get());
        }
        for (uint64_t y = 0; y < stored.height && stored.tiled; y += stored.unitLength) {
            for (uint64_t x = 0; x < stored.width; x += stored.unitWidth) {
                const auto column = static_cast<uint32_t>(x);
                const auto row = static_cast<uint32_t>(y);
                const uint32_t tile = TIFFComputeTile(tif, column, row, 0, plane);
                if (TIFFReadEncodedTile(tif, tile, unit.get(), stored.unitBytes) < 0)
                    return failRead(&image);
                const auto count =
                    static_cast<uint32_t>(std::min<uint64_t>(stored.unitWidth, stored.width - x));
                const uint64_t rows = std::min<uint64_t>(stored.unitLength, stored.height - y);
                for (uint64_t i = 0; i < rows; ++i) {
                    putRun(column, static_cast<uint32_t>(y + i), count, plane,
                           unit.get() + static_cast<int64_t>(i) * stored.unitRowBytes);
                }
            }
        }
    }
    return 0;
}

int writeTIFF(const Image& image, const char* path, int compression) {
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0) {
        reportError("Could not get filename");
        return -1;
    }
    Encoding encoding;
    if (!writableLayout(image) || !chooseEncoding(compression, deepLayout(image), encoding)) {
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
    uint32_t rowsPerStrip = 0;
    if (!setTags(tif, image, encoding, rowsPerStrip)) {
        reportError("Could not write TIFF-file");
        result = -1;
    } else {
        result = writeRows(tif, image, encoding.oneStrip, rowsPerStrip);
    }
    TIFFClose(tif);
    return result;
}
