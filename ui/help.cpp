// Help (the HTML page beside the program, or a built-in text when it is missing or nothing
// can show it) and About.
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

#include "engine/system.h"
#include "ui/dialogs.h"
#include "ui/platform/platform.h"

namespace {

constexpr const char* kHelpFile = "help/quorvane_help.htm";

// Pads text with spaces on both sides to width characters; an odd remainder goes right.
std::string centred(const std::string& text, std::size_t width) {
    if (text.size() >= width)
        return text;
    const std::size_t left = (width - text.size()) / 2;
    return std::string(left, ' ') + text + std::string(width - text.size() - left, ' ');
}

std::string banner() {
    return centred("Quorvane", 73) + "\n" + centred("Made by the Quorvane developers", 73) + "\n" +
           centred("(https://quorvane.example.org/)", 74);
}

// Stands in for the page when it is not installed. The wording is the program's own,
// spelling slips included.
constexpr const char* kBuiltInHelp =
    "Quorvane combines multiple digital images into a single image.  It does this \n"
    "by combining corresponding pixels in each image together using one of these \n"
    "blending modes:\n"
    "\n"
    "1. Stack.  Adds the value of pixels together.  This is useful for \n"
    "synthesizing very long exposures, or to increase the brightness of individual \n"
    "images.\n"
    "2. Average.  Averages the value of pixels.  This is most useful for reducing \n"
    "noise in digital images, by averaging random fluctuations.\n"
    "3. Brighten.  This mode uses the value of the brightest pixel from each source \n"
    "image.  This is useful for stacking images without increasing the overall \n"
    "intensity of the image.  Veru useful for taking pictures of star trails in \n"
    "light-polluted areas.\n"
    "4. Stack/Average Mix.  A combination of stacking and blending.  Using a divisor \n"
    "of 1.0 is equivalent to the \"Stack\" Mode.  Using a divisor equal to the number \n"
    "of input images is equivalent to the \"Average\" mode.  Useful for stacking \n"
    "images and reducing noise simultaneously.\n"
    "\n"
    "Notes: All images must have exactly the same dimensions in order to be \n"
    "combined.  Quorvane reads and writes JPEG, BMP, TIFF and PNG files.  Use a \n"
    "file extenstion of \"jpg\", \"bmp\", \"tif\" or \"png\" to specify an output \n"
    "format (\"jpeg\" and \"tiff\" work too).  TIFF and PNG files can hold 16 bits \n"
    "per sample: choose that under Tools > Output Options.  Quorvane also reads \n"
    "camera RAW files (\"cr2\", \"nef\", \"arw\", \"dng\" and others); their white \n"
    "balance and decoding at half size are chosen there too.  The first image's \n"
    "metadata (EXIF, XMP, IPTC, ICC profile) goes into JPEG, TIFF and PNG outputs \n"
    "unless you turn that off there.\n"
    "\n"
    "Star trails: Tools > Star Trails lets each frame's light fade like a comet's \n"
    "tail (stack, mix or brighten mode), combines the images last to first, writes \n"
    "the result so far as a time-lapse (images in a folder and/or an MP4 video) \n"
    "and leaves out frames much brighter than their neighbours.";

}  // namespace

void showHelp() {
    // Built from the executable's directory, so the page is found from any current
    // directory. When that directory cannot be read the path stays relative, which is
    // the "./help/..." fallback.
    const std::string path = executableDirectory() + kHelpFile;
    std::error_code error;
    // Without a program to show the page, the built-in text is better than nothing at all.
    if (std::filesystem::is_regular_file(path, error) && shellOpen(nullptr, path) > 32)
        return;
    messageBox(nullptr, banner() + "\n\n\n" + kBuiltInHelp, "Help", MB_ICONINFORMATION);
}

void showAbout(Window* window) {
    messageBox(window, banner() + "\n\n                            Version:" + programVersion(),
               "About", MB_ICONINFORMATION);
}
