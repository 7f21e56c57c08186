// TIFF through libtiff. Reading: RGB of 8 or 16 bits and 3 or 4 samples row by row, from strips
// or tiles, interleaved or in separate planes (16-bit gives the 64-bit layout; a fourth sample,
// such as unassociated alpha, lands in the filler as stored); everything else through the RGBA
// reader (32-bit layout). Both honour Orientation 1-8; 5-8 give an image of the stored height
// by the stored width. Every compression this build of libtiff decodes is read (JPEG's YCbCr
// comes out as RGB); others, and samples that are not unsigned integers, are refused.
// Writing: RGB, interleaved. The 24- and 32-bit layouts give 3 or 4 samples of 8 bits, the 48-
// and 64-bit layouts 3 samples of 16 bits (the filler is dropped). compression is a
// TiffCompression (engine/options.h): by default PackBits in one strip at 8 bits, exactly the
// file this program has always written, and Deflate at 16; Deflate and LZW with horizontal
// differencing; every choice but 8-bit PackBits in strips of about 8 KB (at least a row).
// Errors: -1, reported through reportError where detected (library texts go to diagnostics).
#pragma once

#include <cstdint>

#include "engine/image.h"

typedef struct tiff TIFF;

int readTIFF(Image& image, const char* path);
int readTIFFData(Image* image, TIFF* tif);
// The row-by-row path, for readTIFFData once it has allocated the image.
int readTIFFScanlines(Image& image, TIFF* tif);
// Fails on a layout it cannot write or a compression outside TiffCompression.
int writeTIFF(const Image& image, const char* path, int compression = 0);
void rgbaToArgbRow(uint8_t* row, int count, int bitsPerPixel);
void argbToRgbaRow(uint8_t* row, int count, int bitsPerPixel);
