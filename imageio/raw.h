// Camera RAW files through LibRaw (its thread-safe build: loaders run on several threads).
//
// readRAW develops a file as LibRaw's dcraw emulation does with `dcraw_emu -4 -T -o 1 -w -t 0`
// (`-h` for half size, no `-w` for daylight balance): the default demosaic, sRGB primaries,
// linear light with no automatic brightening. The result is the 64-bit layout (filler 65535,
// then R G B, 16 bits each in host order; v / 65535 is the linear value), in the orientation
// the sensor stores it (the file's rotation is not applied). dataFormat is the one every
// reader sets, so RAW and other frames of the same size combine.
//
// A dark frame given in RawOptions is subtracted on the sensor data, before demosaicing, when
// it is a RAW file of the same camera, raw size and colour filter pattern as the light; the
// light keeps its own black level. Otherwise the light is left alone and RawResult says so
// (the caller subtracts the dark after decoding). The dark's sensor data is read once and
// shared by all loaders until another dark is asked for or releaseRawDarkFrame is called.
//
// Errors: -1 with the image left empty, reported through reportError with LibRaw's message
// ("Cannot read RAW file <path>: <message>"). A file whose declared size would not fit in
// memory is refused before its data is read.
#pragma once

#include <string>

#include "engine/image.h"

// Extensions read through LibRaw (lower case, no dot): dng cr2 cr3 crw nef nrw arw srf sr2 raf
// orf rw2 pef srw x3f 3fr iiq erf kdc dcr mrw mos rwl.
bool isRawExtension(const std::string& lowerCaseExtension);

struct RawOptions {
    // White balance: false takes the camera's multipliers (daylight ones from the colour
    // matrix where the file has none), true the daylight ones.
    bool daylight = false;
    // 2x2 sensor cells become one pixel (half the width and height).
    bool halfSize = false;
    // A RAW dark frame to subtract on the sensor data, or "".
    std::string darkFrame;
    // How much of the dark is subtracted (1: all of it).
    double darkOpacity = 1.0;
};

struct RawResult {
    // The dark frame was subtracted on the sensor; the caller must not subtract it again.
    bool darkSubtracted = false;
};

int readRAW(Image& image, const char* path, const RawOptions& options, RawResult* result = nullptr);

// Frees the shared dark frame data (runs call it when they end).
void releaseRawDarkFrame();
