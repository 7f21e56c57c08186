// Our own reader and writer for uncompressed 24-bit bitmap files (bottom-up rows, BGR).
// Reading delivers the 32-bit layout; writing takes the 24- or 32-bit layout.
#pragma once

#include <cstdio>

#include "engine/image.h"

int readBMP(Image& image, const char* path);
// Reads and checks both headers; leaves file at the pixel data and image without pixels.
int readBMPFileHeader(Image& image, std::FILE* file);
int writeBMP(const Image& image, const char* path);
