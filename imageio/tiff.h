// TIFF through libtiff. Reading: contiguous RGB row by row (8/16 bits, 3/4 samples; 16-bit
// gives the 64-bit layout), everything else through the RGBA reader (32-bit layout).
// Writing: RGB, PackBits, one strip, 8 or 16 bits, 3 or 4 samples.
#pragma once

#include <cstdint>

#include "engine/image.h"

typedef struct tiff TIFF;

int readTIFF(Image& image, const char* path);
int readTIFFData(Image* image, TIFF* tif);
int readTIFFScanlines(Image& image, TIFF* tif);
int writeTIFF(const Image& image, const char* path);
void rgbaToArgbRow(uint8_t* row, int count, int bitsPerPixel);
void argbToRgbaRow(uint8_t* row, int count, int bitsPerPixel);
