// PNG adapter over libpng's row interface: the library decodes and encodes, and its own
// transforms bring every colour type and depth to our layouts, so no row is touched here.
#include "imageio/png.h"

#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <png.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "imageio/filenames.h"
#include "imageio/layout.h"

namespace {

// The accumulator made from an image takes 32 bytes per pixel; this keeps one of its rows
// within 32-bit range, as for bitmaps. The height only has to fit our fields. The same
// limits hold for writing, so we never write what we would refuse to read.
constexpr png_uint_32 kMaxWidth = INT32_MAX / 32;
constexpr png_uint_32 kMaxHeight = INT32_MAX;

// Deflate codes at best 258 bytes in 2 bits, so the compressed rows, and with them the file,
// can never be smaller than 1/1032 of the rows they give.
constexpr int64_t kDeflateMostGain = 1032;

// What the decoder takes beside its two rows: inflate's 32 KB window and its state, and the
// buffer libpng reads compressed data into.
constexpr int64_t kInflateBytes = int64_t{48} << 10;

// zlib's default level 6 searches long chains of earlier matches, which on smooth pictures
// with a little noise (what a stack gives) takes four to five times as long as level 4 for a
// file no smaller. Noisy pictures come out the same, flat ones up to a tenth larger.
constexpr int kDeflateLevel = 4;

// libpng's rows are big-endian; ours hold 16-bit samples in the machine's order.
constexpr bool kSwapSamples = std::endian::native == std::endian::little;

// Everything that the cleanup after a longjmp looks at lives in these records, which belong
// to the caller of the function holding setjmp, so their values stay defined.
struct Job {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::FILE* file = nullptr;
    char message[200] = {};
};

struct ReadJob : Job {
    Image* image = nullptr;
    const char* path = nullptr;
};

struct WriteJob : Job {
    const Image* image = nullptr;
};

// libpng's own error handler prints to stderr before it jumps; ours keeps the text for the
// report and jumps back into the adapter.
[[noreturn]] void returnToAdapter(png_structp png, png_const_charp message) {
    Job* job = static_cast<Job*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

// Warnings do not interrupt decoding; a codec never prints, so they become diagnostics.
void emitDiagnostic(png_structp, png_const_charp message) {
    diagnostic("PNG warning: %s\n", message);
}

// Whether a file of this length can hold the rows it claims (without the passes of an
// interlaced file, which only add to them). Pipes have no length; their end is met later.
bool fileCanHold(std::FILE* file, png_uint_32 width, png_uint_32 height, int bitsPerPixel) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))
        return true;
    const int64_t rowBytes = 1 + (int64_t{width} * bitsPerPixel + 7) / 8;  // with filter byte
    return rowBytes * height / kDeflateMostGain <= status.st_size;
}

int decodeRows(ReadJob& job) {
    png_structp png = job.png;
    png_infop info = job.info;
    Image& image = *job.image;
    initImage(image);
    png_init_io(png, job.file);
    png_set_user_limits(png, kMaxWidth, kMaxHeight);
    // Samples are taken as stored, so gamma, colour and text chunks are passed over without
    // being looked into (and a damaged one costs nothing). libpng keeps tRNS, which only gives
    // an alpha to drop.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_read_info(png, info);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, nullptr, nullptr, nullptr, nullptr);
    // A small file claiming a huge image is refused before anything is taken for it, in the
    // words libpng uses once it runs out of rows.
    if (!fileCanHold(job.file, width, height, bitDepth * png_get_channels(png, info))) {
        reportError("Not enough image data");
        return -1;
    }

    // Palettes and grey under 8 bits become 8-bit RGB, grey is copied to red, green and blue,
    // alpha (also from tRNS) is dropped and a filler goes in front.
    const bool wide = bitDepth == 16;
    png_set_expand(png);
    png_set_strip_alpha(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, wide ? 0xFFFF : 0xFF, PNG_FILLER_BEFORE);
    if (wide && kSwapSamples)
        png_set_swap(png);
    const int passes = png_set_interlace_handling(png);

    const int64_t pixelBytes = wide ? 8 : 4;
    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.bitsPerPixel = static_cast<int32_t>(8 * pixelBytes);
    image.bytesPerLine = pixelBytes * image.width;
    image.dataSize = image.bytesPerLine * image.height;
    // libpng decodes a row at a time into a buffer of its own, beside the previous row that
    // the filters refer to; both hold transformed pixels for a width rounded up to 8. Every
    // byte of ours is written (the passes of an interlaced file together cover each pixel
    // once), so reused memory need not be cleared; on any error the image is dropped.
    const int64_t decoderBytes = 2 * (pixelBytes * (int64_t{width} + 8) + 64) + kInflateBytes;
    image.pixels = allocImagePixels(image, false, decoderBytes);
    if (image.pixels == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(image.bytesPerLine)) {
        reportError("can't read %s", job.path);
        return -1;
    }
    uint8_t* pixels = pixelData(image);
    for (int pass = 0; pass < passes; ++pass) {
        for (int32_t y = 0; y < image.height; ++y)
            png_read_row(png, pixels + y * image.bytesPerLine, nullptr);
    }
    // What follows the rows (text, the end marker) changes nothing: a file cut there loads.
    return 0;
}

// Holds the recovery point; no local objects here, so the longjmp skips nothing.
int decode(ReadJob& job) {
    if (setjmp(png_jmpbuf(job.png)) != 0) {
        reportError("%s", job.message);
        return -1;
    }
    return decodeRows(job);
}

// A short write fails the stream at once, with the system's reason.
void writeToFile(png_structp png, png_bytep data, size_t length) {
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, file) != length)
        png_error(png, std::strerror(errno));
}

void flushFile(png_structp png) {
    auto* file = static_cast<std::FILE*>(png_get_io_ptr(png));
    if (std::fflush(file) != 0)
        png_error(png, std::strerror(errno));
}

int encodeRows(WriteJob& job) {
    png_structp png = job.png;
    const Image& image = *job.image;
    const bool wide = image.bitsPerPixel >= 48;
    png_set_write_fn(png, job.file, writeToFile, flushFile);
    png_set_user_limits(png, kMaxWidth, kMaxHeight);
    png_set_compression_level(png, kDeflateLevel);
    // No gamma or colour chunks: the samples are the inputs' own encoding carried through,
    // which we cannot name any better than the JPEG and TIFF writers do; without a claim,
    // viewers take them as sRGB as they take the photographs. No time either, so the same
    // pixels always make the same file.
    png_set_IHDR(png, job.info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), wide ? 16 : 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, job.info);
    // libpng transforms a copy of each row, so the image's rows go to it as they are.
    if (image.bitsPerPixel == 32 || image.bitsPerPixel == 64)
        png_set_filler(png, 0, PNG_FILLER_BEFORE);
    if (wide && kSwapSamples)
        png_set_swap(png);
    const uint8_t* pixels = pixelData(image);
    for (int32_t y = 0; y < image.height; ++y)
        png_write_row(png, pixels + y * image.bytesPerLine);
    png_write_end(png, nullptr);
    return 0;
}

int encode(WriteJob& job, const char* name) {
    if (setjmp(png_jmpbuf(job.png)) != 0) {
        reportError("can't write %s: %s", name, job.message);
        return -1;
    }
    return encodeRows(job);
}

}  // namespace

int readPNG(Image& image, const char* path) {
    ReadJob job;
    job.image = &image;
    job.path = path;
    job.file = openInputFile(path);
    if (job.file == nullptr)
        return -1;
    // The handlers find the job through its base; that is the pointer they are given.
    job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, static_cast<Job*>(&job),
                                     returnToAdapter, emitDiagnostic);
    if (job.png != nullptr)
        job.info = png_create_info_struct(job.png);
    int result = -1;
    if (job.info == nullptr)
        reportError("Not enough memory");
    else
        result = decode(job);
    png_destroy_read_struct(&job.png, &job.info, nullptr);
    std::fclose(job.file);
    if (result != 0) {
        // A half-decoded image is of no use to anyone; releasing it here means no caller
        // can leak it.
        freePixels(image.pixels);
        image.pixels = nullptr;
    }
    return result;
}

int writePNG(const Image& image, const char* path, const char* shownName) {
    const char* name = shownName != nullptr ? shownName : path;
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0) {
        reportError("Could not create PNG file %s", name);
        return -1;
    }
    if (!writableLayout(image)) {
        reportError("Image must be rgb");
        return -1;
    }
    WriteJob job;
    job.image = &image;
    job.file = std::fopen(fullPath.c_str(), "wb");
    if (job.file == nullptr) {
        reportError("Could not create PNG file %s", name);
        return -1;
    }
    job.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, static_cast<Job*>(&job),
                                      returnToAdapter, emitDiagnostic);
    if (job.png != nullptr)
        job.info = png_create_info_struct(job.png);
    int result = -1;
    if (job.info == nullptr)
        reportError("Not enough memory");
    else
        result = encode(job, name);
    png_destroy_write_struct(&job.png, &job.info);
    if (!closeWrittenFile(job.file) && result == 0) {
        reportError("can't write %s", name);
        result = -1;
    }
    return result;
}
