#include "imageio/imageio.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/combine.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "engine/system.h"
#include "imageio/bmp.h"
#include "imageio/brightness.h"
#include "imageio/filenames.h"
#include "imageio/jpeg.h"
#include "imageio/metadata.h"
#include "imageio/png.h"
#include "imageio/raw.h"
#include "imageio/tiff.h"
#include "imageio/video.h"

namespace {

const char kUnsupportedInput[] = "Unsupported Input File Format: Must be JPEG, TIFF or BMP";
const char kUnsupportedOutput[] = "Unsupported Output File Format: Must be JPEG, TIFF or BMP";

bool hasCodec(int format) {
    return format == FORMAT_JPEG || format == FORMAT_TIFF || format == FORMAT_BMP ||
           format == FORMAT_PNG;
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
        case FORMAT_PNG:
            reportError("Could not create PNG file %s", path);
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
            return writeTIFF(image, path, runOptions.tiffCompression);
        case FORMAT_PNG:
            return writePNG(image, path, shownName);
        default:
            narrowSamples(image);
            return writeBMP(image, path);
    }
}

// The first input's metadata, edited to describe the composite. A failure costs the metadata,
// never the image.
void addMetadata(const std::string& file, const Image& image, const OutputFacts& facts) {
    CompositeFacts composite;
    composite.firstInput = facts.firstInput;
    composite.firstInputRotated = imageFormatOf(facts.firstInput.c_str()) == FORMAT_TIFF;
    composite.imagesGiven = facts.imagesGiven;
    composite.imagesCombined = facts.imagesCombined;
    composite.exposureTime = facts.exposureTime;
    composite.dateTime = facts.dateTimeOriginal;
    composite.description = facts.description;
    composite.software = std::string("Quorvane ") + programVersion();
    composite.width = image.width;
    composite.height = image.height;
    std::string warning;
    if (!writeCompositeMetadata(file, composite, warning))
        diagnostic("Metadata not written: %s\n", warning.c_str());
}

// FORMAT_UNNAMED for names whose extension is missing, or neither three letters long nor a
// known longer spelling: those are reported, unknown three-letter ones are not.
constexpr int FORMAT_UNNAMED = -2;

int getImageFormatQuietly(const char* path) {
    const char* dot = std::strrchr(path, '.');
    std::string extension;
    if (dot != nullptr) {
        for (const char* c = dot + 1; *c != '\0'; ++c)
            extension += asciiLower(*c);
    }
    // The long spellings photographers' tools write.
    if (extension == "jpeg")
        return FORMAT_JPEG;
    if (extension == "tiff")
        return FORMAT_TIFF;
    if (dot == nullptr || extension.size() != 3)
        return FORMAT_UNNAMED;
    if (extension == "jpg" || extension == "jpe")
        return FORMAT_JPEG;
    if (extension == "tif")
        return FORMAT_TIFF;
    if (extension == "bmp")
        return FORMAT_BMP;
    if (extension == "png")
        return FORMAT_PNG;
    if (isRawExtension(extension))
        return FORMAT_RAW;
    return FORMAT_INVALID;
}

}  // namespace

int getImageFormat(const char* path) {
    if (path == nullptr)
        path = "";
    const int format = getImageFormatQuietly(path);
    if (format == FORMAT_UNNAMED)
        reportError("File (%s) must have extension JPG, PNG, TIF or BMP", path);
    return format == FORMAT_UNNAMED ? FORMAT_INVALID : format;
}

int imageFormatOf(const char* path) {
    const int format = getImageFormatQuietly(path == nullptr ? "" : path);
    return format == FORMAT_UNNAMED ? FORMAT_INVALID : format;
}

bool formatWritable(int format) {
    return hasCodec(format);
}

bool formatHoldsDepth(int format, int depth) {
    return depth == 8 || (depth == 16 && (format == FORMAT_TIFF || format == FORMAT_PNG));
}

std::string outputDepthProblem(const std::string& output, int depth) {
    if (depth != 8 && depth != 16)
        return "the output depth must be 8 or 16 bits";
    const char* dot = std::strrchr(output.c_str(), '.');
    // Checked without reporting: a name without a usable extension has its own message.
    if (depth == 16 && (dot == nullptr || !formatHoldsDepth(getImageFormatQuietly(dot), 16)))
        return "16-bit output needs a TIFF or PNG file (.tif, .tiff or .png)";
    return "";
}

namespace {

int readRawImage(Image& image, const char* path) {
    // Read before the file is opened: a loader left behind in a file that never answers must
    // not look at the options of a later run.
    RawOptions raw;
    raw.daylight = runOptions.rawDaylight != 0;
    raw.halfSize = runOptions.rawHalfSize != 0;
    const std::string& dark = runOptions.darkFrameFile;
    if (runOptions.useNoiseReduction != 0 && dark != path &&
        imageFormatOf(dark.c_str()) == FORMAT_RAW) {
        raw.darkFrame = dark;
        raw.darkOpacity = darkFrameScale(runOptions.darkFrameOpacity);
    }
    RawResult result;
    if (readRAW(image, path, raw, &result) != 0)
        return -1;
    image.linearSamples = 1;
    image.darkSubtracted = result.darkSubtracted ? 1 : 0;
    return 0;
}

int readWithCodec(int format, Image& image, const char* path) {
    switch (format) {
        case FORMAT_JPEG:
            return readJPEG(image, path);
        case FORMAT_TIFF:
            return readTIFF(image, path);
        case FORMAT_BMP:
            return readBMP(image, path);
        case FORMAT_PNG:
            return readPNG(image, path);
        case FORMAT_RAW:
            return readRawImage(image, path);
        default:
            reportError("%s", kUnsupportedInput);
            return -1;
    }
}

}  // namespace

int readImage(Image& image, const char* path) {
    const int format = getImageFormat(path);
    const bool keepMetadata = runOptions.keepMetadata != 0;
    const int result = readWithCodec(format, image, path);
    // A bitmap records nothing of the kind.
    if (result == 0 && keepMetadata && format != FORMAT_BMP) {
        const FrameFacts facts = readFrameFacts(path);
        image.exposureTime = facts.exposureTime;
        image.dateTimeOriginal = facts.dateTimeOriginal;
    }
    return result;
}

int readImagePixels(Image& image, const char* path) {
    return readWithCodec(getImageFormat(path), image, path);
}

int writeImage(Image& image, const char* path, const OutputFacts& facts) {
    const int format = getImageFormat(path);
    if (!hasCodec(format)) {
        reportError("%s", kUnsupportedOutput);
        return -1;
    }
    if (!mayReplaceFile(path)) {
        reportCannotCreate(format, path);
        return -1;
    }
    // The codec writes beside the target and the result replaces it in one rename; the first
    // input's metadata goes into the temporary file before that.
    const int result = replaceFile(path, [&](const std::string& temporary) {
        if (writeWithCodec(format, image, temporary.c_str(), path) != 0)
            return false;
        if (runOptions.keepMetadata != 0 && format != FORMAT_BMP && !facts.firstInput.empty())
            addMetadata(temporary, image, facts);
        return true;
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

namespace {

// The run's video, fed by the time-lapse writer thread (one run at a time).
VideoWriter timelapseVideo;
bool videoFailed = false;

void closeTimelapseVideo() {
    std::string error;
    if (!timelapseVideo.close(error))
        reportError("Could not finish the video %s: %s", runOptions.videoFile.c_str(),
                    error.c_str());
    videoFailed = false;
}

void addVideoFrame(const Image& frame, int number) {
    std::string error;
    const std::string& file = runOptions.videoFile;
    if (number == 1) {
        VideoSettings settings;
        settings.fps = runOptions.videoFps;
        settings.maxWidth = runOptions.videoWidth;
        videoFailed = !timelapseVideo.open(file, frame.width, frame.height, settings, error);
    } else if (videoFailed) {
        return;  // reported once: it would fail the same way for every frame
    }
    if (!videoFailed && !timelapseVideo.addFrame(frame, error))
        videoFailed = true;
    if (videoFailed)
        reportError("Could not write the video %s: %s", file.c_str(), error.c_str());
}

}  // namespace

std::string timelapseFrameName(const std::string& folder, const std::string& output, int number) {
    std::string stem = output;
    std::string extension;
    splitExtension(stem, extension);
    stripDirectory(stem);
    char digits[16];
    std::snprintf(digits, sizeof digits, "_%05d.", number);
    return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + stem + digits + extension;
}

int writeTimelapseFrame(Image* frame, int number, const OutputFacts& facts) {
    if (frame == nullptr) {
        if (!runOptions.videoFile.empty())
            closeTimelapseVideo();
        return 0;
    }
    int result = 0;
    if (!runOptions.videoFile.empty())
        addVideoFrame(*frame, number);
    if (!runOptions.timelapseFolder.empty()) {
        const std::string name =
            timelapseFrameName(runOptions.timelapseFolder, runOptions.outputName, number);
        result = writeImage(*frame, name.c_str(), facts);
    }
    return result;
}

void installImageFileHandlers() {
    setImageFileHandlers(readImage, writeImage, releaseRawDarkFrame);
    setTimelapseHandler(writeTimelapseFrame);
    setBrightnessMeter(measureBrightness);
}
