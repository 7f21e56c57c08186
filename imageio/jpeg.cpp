// JPEG adapter over libjpeg-turbo's IJG interface: the library does all coding work; this
// file picks the calls, moves rows and converts between the library's rows and our layouts.
#include "imageio/jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jpeglib.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "imageio/filenames.h"
#include "imageio/layout.h"

namespace {

// The standard error_exit ends the process, so one damaged file in a long list would cost
// the user the whole run. Ours keeps the library's text and jumps back into the adapter.
struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf recovery;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void returnToAdapter(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    longjmp(manager->recovery, 1);
}

// Warnings (such as a file that ends early) do not interrupt decoding; the library would
// print them to stderr, so they become diagnostics instead.
void emitDiagnostic(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    diagnostic("%s\n", text);
}

jpeg_error_mgr* setupErrorManager(ErrorManager& manager) {
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = returnToAdapter;
    manager.pub.output_message = emitDiagnostic;
    manager.message[0] = '\0';
    return &manager.pub;
}

// Everything that the cleanup after a longjmp looks at lives in these records, which belong
// to the caller of the function holding setjmp, so their values stay defined.
struct ReadJob {
    ErrorManager errors;
    jpeg_decompress_struct cinfo;
    bool created = false;
    FILE* file = nullptr;
    JSAMPROW* rows = nullptr;
    Image* image = nullptr;
    const char* path = nullptr;
};

struct WriteJob {
    ErrorManager errors;
    jpeg_compress_struct cinfo;
    bool created = false;
    FILE* file = nullptr;
    uint8_t* row = nullptr;
    Image* image = nullptr;
    int quality = 0;
    int progressive = 0;
};

// What the library takes for a file that is not one single interleaved scan (progressive
// files, or components in separate scans): all DCT coefficients of the image, 64 of them per
// block, for blocks padded to whole sampling units. 0 for files decoded a row at a time,
// whose buffers are a few rows.
int64_t wholeImageBufferSize(const jpeg_decompress_struct& cinfo) {
    if (!cinfo.progressive_mode && cinfo.comps_in_scan >= cinfo.num_components)
        return 0;
    const auto roundUp = [](int64_t value, int64_t unit) {
        return unit > 0 ? (value + unit - 1) / unit * unit : value;
    };
    int64_t total = 0;
    for (int i = 0; i < cinfo.num_components; ++i) {
        const jpeg_component_info& component = cinfo.comp_info[i];
        const int64_t columns = roundUp(component.width_in_blocks, component.h_samp_factor);
        const int64_t rows = roundUp(component.height_in_blocks, component.v_samp_factor);
        total += columns * rows * static_cast<int64_t>(sizeof(JBLOCK));
    }
    return total;
}

// CMYK samples in place to the 32-bit layout. Writers of CMYK JPEGs follow Adobe and store
// every sample inverted (255 is no ink), so with c and k as stored, red = c * k / 255 rounded
// to nearest (green from m, blue from y alike), the values ImageMagick and djpeg give; files
// without Adobe's marker are read the same way, as both of them do. (n + 127) / 255 rounds
// n / 255 for whole n, which is never halfway between two integers.
void inksToRGB(uint8_t* pixel, int64_t count) {
    for (int64_t i = 0; i < count; ++i, pixel += 4) {
        const int k = pixel[3];
        pixel[3] = static_cast<uint8_t>((pixel[2] * k + 127) / 255);
        pixel[2] = static_cast<uint8_t>((pixel[1] * k + 127) / 255);
        pixel[1] = static_cast<uint8_t>((pixel[0] * k + 127) / 255);
        pixel[0] = 255;
    }
}

int decodeRows(ReadJob& job) {
    jpeg_decompress_struct& cinfo = job.cinfo;
    Image& image = *job.image;
    jpeg_create_decompress(&cinfo);
    job.created = true;
    jpeg_stdio_src(&cinfo, job.file);
    jpeg_read_header(&cinfo, TRUE);
#ifdef JCS_EXTENSIONS
    // Colour files decode straight into the 32-bit layout (the library fills the first byte
    // with 255), which saves the pass that would spread packed RGB rows apart. Greyscale
    // files come out the same way, each sample repeated as red, green and blue.
    if (cinfo.out_color_space == JCS_RGB || cinfo.out_color_space == JCS_GRAYSCALE)
        cinfo.out_color_space = JCS_EXT_XRGB;
#else
    if (cinfo.out_color_space == JCS_GRAYSCALE)
        cinfo.out_color_space = JCS_RGB;
#endif
    // The header alone fixes the output size. Everything is sized and taken before
    // jpeg_start_decompress, which for a multi-scan file takes the library's whole-image
    // buffer and reads every scan into it: a small file claiming a huge image is refused
    // here without any decoding work.
    jpeg_calc_output_dimensions(&cinfo);

    initImage(image);
    image.width = static_cast<int32_t>(cinfo.output_width);
    image.height = static_cast<int32_t>(cinfo.output_height);
    // CMYK files, and YCCK files, which the library turns into CMYK, are made RGB below.
    const bool inks = cinfo.out_color_space == JCS_CMYK && cinfo.output_components == 4;
    bool fourBytes = inks;
#ifdef JCS_EXTENSIONS
    fourBytes =
        fourBytes || (cinfo.out_color_space == JCS_EXT_XRGB && cinfo.output_components == 4);
#endif
    if (cinfo.output_components != 3 && !fourBytes) {
        reportError("Image must be rgb");
        return -1;
    }
    // Packed RGB is decoded into a buffer already big enough for the 32-bit layout, so the
    // expansion afterwards needs no second buffer.
    image.bitsPerPixel = fourBytes ? 32 : 24;
    image.bytesPerLine = (fourBytes ? 4 : 3) * static_cast<int64_t>(image.width);
    image.dataSize = 4 * static_cast<int64_t>(image.width) * image.height;
    // A multi-scan file needs the library's coefficient buffer beside our pixels; both at
    // once are asked for, so neither is taken (and filled) only to find the other missing.
    // Every byte is written below (or by the expansion), so reused memory need not be
    // cleared first; on any error the image is dropped.
    image.pixels = allocImagePixels(image, false, wholeImageBufferSize(cinfo));
    if (image.pixels == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    jpeg_start_decompress(&cinfo);
    const int batch = std::max(cinfo.rec_outbuf_height, 1);
    const int64_t pointerBytes = batch * static_cast<int64_t>(sizeof(JSAMPROW));
    if (allocationAllowed(pointerBytes)) {
        job.rows = static_cast<JSAMPROW*>(std::malloc(static_cast<size_t>(pointerBytes)));
    }
    if (job.rows == nullptr) {
        reportError("Not enough memory");
        return -1;
    }

    uint8_t* rowBase = pixelData(image);
    int64_t rowsLeft = image.height;
    while (rowsLeft > 0) {
        const int count = static_cast<int>(std::min<int64_t>(batch, rowsLeft));
        for (int k = 0; k < count; ++k)
            job.rows[k] = rowBase + k * image.bytesPerLine;
        const JDIMENSION got =
            jpeg_read_scanlines(&cinfo, job.rows, static_cast<JDIMENSION>(count));
        // The stream source never suspends, so no rows means the decoder is stuck.
        if (got == 0) {
            reportError("can't read %s", job.path);
            return -1;
        }
        if (inks)
            inksToRGB(rowBase, got * static_cast<int64_t>(image.width));
        rowsLeft -= got;
        rowBase += got * image.bytesPerLine;
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    job.created = false;
    expandToFourSamples(image);
    return 0;
}

// Holds the recovery point; no local objects here, so the longjmp skips nothing.
int decode(ReadJob& job) {
    job.cinfo.err = setupErrorManager(job.errors);
    if (setjmp(job.errors.recovery) != 0) {
        reportError("%s", job.errors.message);
        return -1;
    }
    return decodeRows(job);
}

int encodeRows(WriteJob& job) {
    jpeg_compress_struct& cinfo = job.cinfo;
    const Image& image = *job.image;
    jpeg_create_compress(&cinfo);
    job.created = true;
    jpeg_stdio_dest(&cinfo, job.file);
    cinfo.image_width = static_cast<JDIMENSION>(image.width);
    cinfo.image_height = static_cast<JDIMENSION>(image.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    // The working layout goes to the library as it is, without a copy per row; the colour
    // conversion is the same, so the file is too.
    bool fourBytes = false;
#ifdef JCS_EXTENSIONS
    if (image.bitsPerPixel == 32) {
        fourBytes = true;
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_EXT_XRGB;
    }
#endif
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job.quality, TRUE);
    if (job.progressive != 0)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);

    if (fourBytes) {
        const uint8_t* source = pixelData(image);
        for (int32_t y = 0; y < image.height; ++y) {
            // The library only reads the rows it is given.
            JSAMPROW row = const_cast<uint8_t*>(source + y * image.bytesPerLine);
            while (jpeg_write_scanlines(&cinfo, &row, 1) != 1) {
            }
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        job.created = false;
        return 0;
    }
    if (allocationAllowed(image.bytesPerLine)) {
        job.row = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(image.bytesPerLine)));
    }
    if (job.row == nullptr) {
        reportError("Not enough memory");
        return -1;
    }
    const uint8_t* source = pixelData(image);
    JSAMPROW rowPointer = job.row;
    for (int32_t y = 0; y < image.height; ++y) {
        // The library may in principle refuse a row; it is then offered again unchanged.
        do {
            std::memcpy(job.row, source + y * image.bytesPerLine,
                        static_cast<size_t>(image.bytesPerLine));
            if (image.bitsPerPixel == 32) {
                // Drop the filler: forward order is safe because each pixel moves left.
                for (int32_t x = 0; x < image.width; ++x) {
                    std::memmove(job.row + 3 * x, job.row + 4 * x + 1, 3);
                }
            }
        } while (jpeg_write_scanlines(&cinfo, &rowPointer, 1) != 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    job.created = false;
    return 0;
}

int encode(WriteJob& job) {
    job.cinfo.err = setupErrorManager(job.errors);
    if (setjmp(job.errors.recovery) != 0) {
        reportError("%s", job.errors.message);
        return -1;
    }
    return encodeRows(job);
}

}  // namespace

int readJPEG(Image& image, const char* path) {
    ReadJob job;
    job.image = &image;
    job.path = path;
    job.file = openInputFile(path);
    if (job.file == nullptr)
        return -1;
    const int result = decode(job);
    if (job.created)
        jpeg_destroy_decompress(&job.cinfo);
    std::free(job.rows);
    std::fclose(job.file);
    if (result != 0) {
        // A half-decoded image is of no use to anyone; releasing it here means no caller
        // can leak it.
        freePixels(image.pixels);
        image.pixels = nullptr;
    }
    return result;
}

int writeJPEG(Image& image, const char* path, int quality, int progressive, const char* shownName) {
    const char* name = shownName != nullptr ? shownName : path;
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0)
        return -1;
    if (!writableLayout(image)) {
        reportError("Image must be rgb");
        return -1;
    }
    WriteJob job;
    job.image = &image;
    job.quality = quality;
    job.progressive = progressive;
    job.file = std::fopen(fullPath.c_str(), "wb");
    if (job.file == nullptr) {
        reportError("can't open %s", name);
        return -1;
    }
    narrowSamples(image);
    int result = encode(job);
    if (job.created)
        jpeg_destroy_compress(&job.cinfo);
    std::free(job.row);
    if (!closeWrittenFile(job.file) && result == 0) {
        reportError("can't write %s", name);
        result = -1;
    }
    return result;
}
