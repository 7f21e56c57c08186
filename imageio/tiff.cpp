// Placeholder until the libtiff adapter lands.
#include "imageio/tiff.h"

#include "engine/messages.h"

int readTIFF(Image&, const char*) {
    reportError("Unsupported Input File Format: Must be JPEG, TIFF or BMP");
    return -1;
}
int readTIFFData(Image*, TIFF*) { return -1; }
int readTIFFScanlines(Image&, TIFF*) { return -1; }
int writeTIFF(const Image&, const char*) {
    reportError("Unsupported Output File Format: Must be JPEG, TIFF or BMP");
    return -1;
}
void rgbaToArgbRow(uint8_t*, int, int) {}
void argbToRgbaRow(uint8_t*, int, int) {}
