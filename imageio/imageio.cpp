#include "imageio/imageio.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
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

// The process umask without changing it: umask() can only be read by setting it, which would
// briefly affect files other threads create, so the kernel's report is preferred.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Umask:") {
            unsigned value = 0;
            if (status >> std::oct >> value)
                return static_cast<mode_t>(value);
            break;
        }
        status.ignore(4096, '\n');
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// What each codec says when it cannot create its file; a temporary file we cannot create
// fails for the same reasons as the target would.
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

    // The codec writes beside the target and the result replaces it in one rename, so a
    // failed or interrupted save never leaves a damaged file where a good one was.
    // A short name of its own: the target's name plus a suffix could exceed the file
    // system's name length, and only the directory matters for the rename.
    const char* slash = std::strrchr(path, '/');
    std::string temporary =
        (slash == nullptr ? std::string() : std::string(path, slash + 1)) + ".quorvane-XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        reportCannotCreate(format, path);
        return -1;
    }
    // mkstemp creates the file private to us; the output should look like any file we create.
    const bool prepared = fchmod(fd, 0666 & ~currentUmask()) == 0;
    if (close(fd) != 0 || !prepared) {
        unlink(temporary.c_str());
        reportCannotCreate(format, path);
        return -1;
    }

    if (writeWithCodec(format, image, temporary.c_str(), path) != 0) {
        unlink(temporary.c_str());
        return -1;
    }
    if (std::rename(temporary.c_str(), path) != 0) {
        reportError("Could not write %s", path);
        unlink(temporary.c_str());
        return -1;
    }
    return 0;
}

int checkOutputFormat(const char* path) {
    if (hasCodec(getImageFormat(path)))
        return 0;
    reportError("%s", kUnsupportedOutput);
    return -1;
}

int outputIsInput(const std::string& output, const std::vector<std::string>& arguments) {
    struct stat outputStat {};
    const bool outputExists = stat(output.c_str(), &outputStat) == 0;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == output)
            return 1;
        struct stat inputStat {};
        if (outputExists && stat(arguments[i].c_str(), &inputStat) == 0 &&
            inputStat.st_dev == outputStat.st_dev && inputStat.st_ino == outputStat.st_ino) {
            return 1;
        }
    }
    return 0;
}

void installImageFileHandlers() {
    setImageFileHandlers(readImage, writeImage);
}
