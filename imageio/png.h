// PNG through libpng. Reading: 8 or 16 bits, grey, palette or RGB, with or without alpha,
// interlaced or not; 8-bit files give the 32-bit layout, 16-bit files the 64-bit layout
// (grey copied to red, green and blue, palettes expanded, alpha dropped: the filler is
// 255 / 65535). Samples are taken as stored: gAMA, cHRM, sRGB and iCCP chunks change nothing.
// Writing: RGB, 8 bits from the 24/32-bit layouts, 16 bits from the 48/64-bit layouts.
#pragma once

#include "engine/image.h"

int readPNG(Image& image, const char* path);
// shownName, when given, is the name used in messages (the save dispatch writes to a
// temporary file).
int writePNG(const Image& image, const char* path, const char* shownName = nullptr);
