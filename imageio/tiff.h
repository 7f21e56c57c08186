// TIFF through libtiff. Reading: RGB of 8 or 16 bits and 3 or 4 samples row by row, from strips
// or tiles, interleaved or in separate planes (16-bit gives the 64-bit layout; a fourth sample,
// such as unassociated alpha, lands in the filler as stored); everything else through the RGBA
// reader (32-bit layout). Both honour Orientation 1-8; 5-8 give an image of the stored height
// by the stored width. Samples that are not unsigned integers are refused.
// Writing: RGB, PackBits, one strip, 8 or 16 bits, 3 or 4 samples.
#pragma once

#include <cstdint>

#include "engine/image.h"

typedef struct tiff TIFF;

int readTIFF(Image& image, const char* path);
int readTIFFData(Image* image, TIFF* tif);
// The row-by-row path, for readTIFFData once it has allocated the image.
int readTIFFScanlines(Image& image, TIFF* tif);
int writeTIFF(const Image& image, const char* path);
void rgbaToArgbRow(uint8_t* row, int count, int bitsPerPixel);
void argbToRgbaRow(uint8_t* row, int count, int bitsPerPixel);
