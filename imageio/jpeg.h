// JPEG through libjpeg-turbo. Reading takes 8-bit greyscale, RGB, CMYK and YCCK files and
// delivers the 32-bit layout (grey repeated in red, green and blue; inks converted to RGB);
// writing takes 24/32 bits (48/64-bit images are narrowed in place first). A damaged file is
// reported and refused; it never ends the process.
#pragma once

#include "engine/image.h"

int readJPEG(Image& image, const char* path);
// shownName, when given, is the name used in messages (the save dispatch writes to a
// temporary file).
int writeJPEG(Image& image, const char* path, int quality, int progressive,
              const char* shownName = nullptr);
