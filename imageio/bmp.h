// Our own reader and writer for uncompressed bitmap files (pixels stored blue, green, red).
// Reading takes 24- and 32-bit files (the fourth byte unused) with a 40-, 108- or 124-byte
// information header, rows bottom-up or top-down, and delivers the 32-bit layout; writing
// takes the 24- or 32-bit layout and makes 24-bit bottom-up files with a 40-byte header.
#pragma once

#include <cstdio>

#include "engine/image.h"

// How a file stores its pixel rows.
struct BMPLayout {
    int bytesPerPixel = 3;
    bool topDown = false;  // the top row comes first (a negative height in the header)
};

int readBMP(Image& image, const char* path);
// Reads and checks the headers; leaves file at the pixel data, image without pixels and
// layout describing the stored rows.
int readBMPFileHeader(Image& image, std::FILE* file, BMPLayout& layout);
int writeBMP(const Image& image, const char* path);
