// Placeholder until the libjpeg-turbo adapter lands.
#include "imageio/jpeg.h"

#include "engine/messages.h"

int readJPEG(Image&, const char*) {
    reportError("Unsupported Input File Format: Must be JPEG, TIFF or BMP");
    return -1;
}

int writeJPEG(Image&, const char*, int, int, const char*) {
    reportError("Unsupported Output File Format: Must be JPEG, TIFF or BMP");
    return -1;
}
