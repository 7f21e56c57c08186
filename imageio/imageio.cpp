#include "imageio/imageio.h"

#include <sys/stat.h>

#include <cstring>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "engine/system.h"
#include "imageio/bmp.h"
#include "imageio/jpeg.h"
#include "imageio/tiff.h"

namespace {

const char kUnsupportedInput[] = "Unsupported Input File Format: Must be JPEG, TIFF or BMP";
const char kUnsupportedOutput[] = "Unsupported Output File Format: Must be JPEG, TIFF or BMP";

bool hasCodec(int format) {
    return format == FORMAT_JPEG || format == FORMAT_TIFF || format == FORMAT_BMP;
}

// Only ASCII letters fold: the locale must not decide which names are images.
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// What each codec says when it cannot create its file.
void reportCannotCreate(int format, const char* path) {
    switch (format) {
        case FORMAT_JPEG:
            reportError("can't open %s", path);
            break;
        case FORMAT_TIFF:
            reportError("Could not create TIFF-file");
            break;
        default:
            reportError("writeBMP, could not open file");
            break;
    }
}

int writeWithCodec(int format, Image& image, const char* path, const char* shownName) {
    switch (format) {
        case FORMAT_JPEG:
            return writeJPEG(image, path, runOptions.jpeg_quality, 0, shownName);
        case FORMAT_TIFF:
            return writeTIFF(image, path);
        default:
            return writeBMP(image, path);
    }
}

}  // namespace

int getImageFormat(const char* path) {
    if (path == nullptr)
        path = "";
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr || std::strlen(dot) != 4) {
        reportError("File (%s) must have extension JPG, PNG, TIF or BMP", path);
        return FORMAT_INVALID;
    }
    const char extension[4] = {asciiLower(dot[1]), asciiLower(dot[2]), asciiLower(dot[3]), '\0'};
    if (std::strcmp(extension, "jpg") == 0)
        return FORMAT_JPEG;
    if (std::strcmp(extension, "tif") == 0)
        return FORMAT_TIFF;
    if (std::strcmp(extension, "bmp") == 0)
        return FORMAT_BMP;
    if (std::strcmp(extension, "png") == 0)
        return FORMAT_PNG;
    return FORMAT_INVALID;
}

int readImage(Image& image, const char* path) {
    switch (getImageFormat(path)) {
        case FORMAT_JPEG:
            return readJPEG(image, path);
        case FORMAT_TIFF:
            return readTIFF(image, path);
        case FORMAT_BMP:
            return readBMP(image, path);
        default:
            reportError("%s", kUnsupportedInput);
            return -1;
    }
}

int writeImage(Image& image, const char* path) {
    const int format = getImageFormat(path);
    if (!hasCodec(format)) {
        reportError("%s", kUnsupportedOutput);
        return -1;
    }
    if (!mayReplaceFile(path)) {
        reportCannotCreate(format, path);
        return -1;
    }
    // The codec writes beside the target and the result replaces it in one rename.
    const int result = replaceFile(path, [&](const std::string& temporary) {
        return writeWithCodec(format, image, temporary.c_str(), path) == 0;
    });
    switch (result) {
        case REPLACE_DONE:
            return 0;
        case REPLACE_NO_TEMPORARY:
            // A temporary file we cannot create fails for the same reasons as the target would.
            reportCannotCreate(format, path);
            return -1;
        case REPLACE_NOT_WRITTEN:
            // The codec has said why.
            return -1;
        default:
            reportError("Could not write %s", path);
            return -1;
    }
}

int checkOutputWritable(const char* path) {
    if (mayReplaceFile(path))
        return 0;
    reportCannotCreate(getImageFormat(path), path);
    return -1;
}

int checkOutputFormat(const char* path) {
    if (hasCodec(getImageFormat(path)))
        return 0;
    reportError("%s", kUnsupportedOutput);
    return -1;
}

int outputIsInput(const std::string& output, const std::vector<std::string>& arguments,
                  const std::string& darkFrame) {
    struct stat outputStat {};
    const bool outputExists = stat(output.c_str(), &outputStat) == 0;
    const auto same = [&](const std::string& input) {
        if (input == output)
            return true;
        struct stat inputStat {};
        return outputExists && stat(input.c_str(), &inputStat) == 0 &&
               inputStat.st_dev == outputStat.st_dev && inputStat.st_ino == outputStat.st_ino;
    };
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (same(arguments[i]))
            return 1;
    }
    return !darkFrame.empty() && same(darkFrame) ? 1 : 0;
}

void installImageFileHandlers() {
    setImageFileHandlers(readImage, writeImage);
}
