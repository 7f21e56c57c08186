// Brightness measurement: reduced decodes through libjpeg-turbo and LibRaw, or the ordinary
// codecs with a sparse sum.
#include "imageio/brightness.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libraw.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/system.h"
#include "imageio/bmp.h"
#include "imageio/filenames.h"
#include "imageio/imageio.h"
#include "imageio/png.h"
#include "imageio/raw.h"
#include "imageio/tiff.h"

namespace {

constexpr double kUnmeasured = std::numeric_limits<double>::quiet_NaN();
// Rows (and, for JPEG, columns) that one sample stands for.
constexpr int kStride = 8;

// The codecs report what goes wrong; a measurement only says NaN, so whatever they say on this
// thread is held here and dropped.
class DroppedMessages {
  public:
    DroppedMessages() { deferMessages(&held_); }
    ~DroppedMessages() { deferMessages(nullptr); }
    DroppedMessages(const DroppedMessages&) = delete;
    DroppedMessages& operator=(const DroppedMessages&) = delete;

  private:
    std::vector<DeferredMessage> held_;
};

// libjpeg's default error_exit ends the process; ours jumps back to the measurement. Warnings
// are dropped with everything else.
struct JpegErrors {
    jpeg_error_mgr pub;
    jmp_buf recovery;
};

[[noreturn]] void abandonJpeg(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->recovery, 1);
}

void ignoreJpegMessage(j_common_ptr) {}

// Everything the cleanup after a longjmp looks at lives here, owned by the caller of the
// function holding setjmp, so its values stay defined.
struct JpegJob {
    JpegErrors errors;
    jpeg_decompress_struct cinfo;
    bool created = false;
    std::FILE* file = nullptr;
    const unsigned char* data = nullptr;  // or a JPEG stream in memory
    unsigned long size = 0;
    JSAMPLE* rows = nullptr;
    double mean = kUnmeasured;

    ~JpegJob() {
        if (created)
            jpeg_destroy_decompress(&cinfo);
        std::free(rows);
        if (file != nullptr)
            std::fclose(file);
    }
};

// How many of the full image's pixels output pixel `index` of the 1/8 decode stands for: 8,
// fewer in the last row or column, whose block the encoder padded.
int64_t covered(int64_t index, int64_t fullSize) {
    return std::clamp<int64_t>(fullSize - index * kStride, 0, kStride);
}

int decodeReduced(JpegJob& job) {
    jpeg_decompress_struct& cinfo = job.cinfo;
    jpeg_create_decompress(&cinfo);
    job.created = true;
    // Progressive files keep every coefficient of the image in memory; a file claiming a huge
    // image then fails in the library instead of taking what the machine does not have.
    // (0 would mean no limit.)
    cinfo.mem->max_memory_to_use = static_cast<long>(
        std::clamp<int64_t>(availableMemory() / 2, 1, std::numeric_limits<long>::max()));
    if (job.file != nullptr)
        jpeg_stdio_src(&cinfo, job.file);
    else
        jpeg_mem_src(&cinfo, job.data, job.size);
    jpeg_read_header(&cinfo, TRUE);
    // At 1/8 the inverse DCT keeps only each block's average, which is all a mean needs.
    cinfo.scale_num = 1;
    cinfo.scale_denom = kStride;
    cinfo.do_fancy_upsampling = FALSE;
    const bool inks = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = inks ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const int components = cinfo.output_components;
    if (components != (inks ? 4 : 3))
        return -1;
    const int batch = std::max(cinfo.rec_outbuf_height, 1);
    const int64_t rowBytes = int64_t{cinfo.output_width} * components;
    job.rows = static_cast<JSAMPLE*>(std::malloc(static_cast<size_t>(rowBytes * batch)));
    if (job.rows == nullptr)
        return -1;
    JSAMPROW pointers[16];
    const int rowsAtOnce = std::min(batch, 16);
    for (int k = 0; k < rowsAtOnce; ++k)
        pointers[k] = job.rows + k * rowBytes;

    double sum = 0.0;
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const JDIMENSION got = jpeg_read_scanlines(&cinfo, pointers, rowsAtOnce);
        // The sources never suspend, so no rows means the decoder is stuck.
        if (got == 0)
            return -1;
        for (JDIMENSION k = 0; k < got; ++k) {
            const JSAMPLE* pixel = pointers[k];
            double rowSum = 0.0;
            for (JDIMENSION x = 0; x < cinfo.output_width; ++x, pixel += components) {
                // Inks are stored inverted (Adobe's convention, which the full reader follows):
                // red = c * k / 255, and so on.
                const double level = inks ? (pixel[0] + pixel[1] + pixel[2]) * pixel[3] / 255.0
                                          : pixel[0] + pixel[1] + pixel[2];
                rowSum += level * static_cast<double>(covered(x, cinfo.image_width));
            }
            sum += rowSum * static_cast<double>(covered(first + k, cinfo.image_height));
        }
    }
    job.mean = sum / (3.0 * cinfo.image_width * cinfo.image_height);
    return 0;
}

// Holds the recovery point; no local objects here, so the longjmp skips nothing.
double measureJpeg(JpegJob& job) {
    jpeg_std_error(&job.errors.pub);
    job.errors.pub.error_exit = abandonJpeg;
    job.errors.pub.output_message = ignoreJpegMessage;
    job.cinfo.err = &job.errors.pub;
    if (setjmp(job.errors.recovery) != 0)
        return kUnmeasured;
    return decodeReduced(job) == 0 ? job.mean : kUnmeasured;
}

// The mean level of a decoded image in the 32- or 64-bit layout, from the middle row of every
// band of `stride` rows, weighted by the band's height. 16-bit samples count by their high
// byte, or as v / 257 when linear is set.
double sampledMean(const Image& image, int stride, bool linear) {
    const uint8_t* data = pixelData(image);
    if (data == nullptr || image.width <= 0 || image.height <= 0 ||
        (image.bitsPerPixel != 32 && image.bitsPerPixel != 64)) {
        return kUnmeasured;
    }
    double sum = 0.0;
    for (int64_t band = 0; band < image.height; band += stride) {
        const int64_t rows = std::min<int64_t>(stride, image.height - band);
        const uint8_t* pixel = data + (band + rows / 2) * image.bytesPerLine;
        uint64_t rowSum = 0;
        if (image.bitsPerPixel == 32) {
            for (int32_t x = 0; x < image.width; ++x, pixel += 4)
                rowSum += pixel[1] + pixel[2] + pixel[3];
        } else {
            for (int32_t x = 0; x < image.width; ++x, pixel += 8) {
                uint16_t rgb[3];
                std::memcpy(rgb, pixel + 2, sizeof rgb);
                for (const uint16_t value : rgb)
                    rowSum += linear ? value : value >> 8;
            }
        }
        sum += static_cast<double>(rowSum) * static_cast<double>(rows);
    }
    const double mean = sum / (3.0 * image.width * image.height);
    return linear && image.bitsPerPixel == 64 ? mean / 257.0 : mean;
}

struct DecodedImage {
    Image image;
    DecodedImage() { initImage(image); }
    ~DecodedImage() { freePixels(image.pixels); }
    DecodedImage(const DecodedImage&) = delete;
    DecodedImage& operator=(const DecodedImage&) = delete;
};

void ignoreRawDataError(void*, const char*, const int) {}
void ignoreRawMemoryError(void*, const char*, const char*) {}

// A JPEG thumbnail's mean, or NaN when the file has none we can decode.
double measureRawThumbnail(const std::string& path) {
    std::unique_ptr<LibRaw> raw(new (std::nothrow) LibRaw);
    if (raw == nullptr)
        return kUnmeasured;
    // LibRaw's own handlers print to standard error.
    raw->set_dataerror_handler(ignoreRawDataError, nullptr);
    raw->set_memerror_handler(ignoreRawMemoryError, nullptr);
    if (raw->open_file(path.c_str()) != LIBRAW_SUCCESS || raw->unpack_thumb() != LIBRAW_SUCCESS)
        return kUnmeasured;
    const libraw_thumbnail_t& thumbnail = raw->imgdata.thumbnail;
    if (thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG || thumbnail.thumb == nullptr ||
        thumbnail.tlength == 0) {
        return kUnmeasured;
    }
    JpegJob job;
    job.data = reinterpret_cast<const unsigned char*>(thumbnail.thumb);
    job.size = thumbnail.tlength;
    return measureJpeg(job);
}

double measureRaw(const char* path, const std::string& fullPath) {
    try {
        const double fromThumbnail = measureRawThumbnail(fullPath);
        if (!std::isnan(fromThumbnail))
            return fromThumbnail;
    } catch (const std::exception&) {
        // The developed image may still be had.
    }
    DecodedImage decoded;
    RawOptions options;
    options.halfSize = true;
    if (readRAW(decoded.image, path, options) != 0)
        return kUnmeasured;
    return sampledMean(decoded.image, 1, true);
}

}  // namespace

double measureBrightness(const char* path) {
    if (path == nullptr)
        return kUnmeasured;
    const DroppedMessages quiet;
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0)
        return kUnmeasured;
    DecodedImage decoded;
    int result = -1;
    // The codecs directly, not readImage: it would also read the file's metadata when the run
    // keeps it, and a measurement must not depend on the run's options.
    switch (imageFormatOf(path)) {
        case FORMAT_JPEG: {
            JpegJob job;
            job.file = std::fopen(fullPath.c_str(), "rb");
            return job.file != nullptr ? measureJpeg(job) : kUnmeasured;
        }
        case FORMAT_RAW:
            return measureRaw(path, fullPath);
        case FORMAT_TIFF:
            result = readTIFF(decoded.image, path);
            break;
        case FORMAT_PNG:
            result = readPNG(decoded.image, path);
            break;
        case FORMAT_BMP:
            result = readBMP(decoded.image, path);
            break;
        default:
            return kUnmeasured;
    }
    return result == 0 ? sampledMean(decoded.image, kStride, false) : kUnmeasured;
}
