// Metadata of the photographs, carried into the picture made of them (through exiv2).
//
// Loaders ask readFrameFacts for the few facts a run needs of each input. After the save
// dispatch's codec has written the output to its temporary file, writeCompositeMetadata copies
// the first input's EXIF, XMP, IPTC and ICC profile into that file, edited to describe the
// composite: what described the first input's pixel encoding, thumbnail or raw sensor data is
// left out, the composite's own facts are set. Nothing here throws or reports through the
// message channels: failures come back as values, and the caller decides what to say. Calls
// may come from several threads; the library is used by one at a time.
#pragma once

#include <cmath>
#include <string>

struct FrameFacts {
    double exposureTime = std::nan("");  // seconds, from Exif.Photo.ExposureTime (or XMP)
    std::string dateTimeOriginal;        // "YYYY:MM:DD HH:MM:SS" or ""
    bool hasMetadata = false;            // EXIF, XMP, IPTC or an ICC profile present
};

// The facts of the file at path (JPEG, TIFF, PNG, raw formats); empty facts when it cannot be
// read. An exposure time or date that is missing, zero or malformed is left out.
// hasMetadata counts only what writeCompositeMetadata would copy (not the TIFF fields that
// describe the pixels, nor Orientation 1).
FrameFacts readFrameFacts(const char* path);

struct CompositeFacts {
    std::string firstInput;  // the first input in the order given
    // True for TIFF inputs (our reader applies their Orientation): Orientation 1 is set;
    // otherwise the first input's is copied.
    bool firstInputRotated = false;
    int imagesGiven = 0, imagesCombined = 0;
    double exposureTime = std::nan("");  // to set; NaN leaves the copied one unchanged
    std::string dateTime;                // DateTime to set; "" leaves the copied one unchanged
    std::string description;             // ImageDescription to set; "" leaves it unchanged
    std::string software;                // Software to set; "" leaves it unchanged
    int width = 0, height = 0;           // the output's size
};

// Writes the first input's metadata, edited, into the file at path (JPEG, TIFF or PNG, as our
// codec wrote it), updating that file in place so whoever holds it open keeps the same file.
// Set: PixelXDimension and PixelYDimension, Orientation per firstInputRotated, Software,
// DateTime (never the clock, so a run repeated gives the same file), CompositeImage 2, the
// numbers of images given and combined, ExposureTime and ImageDescription; the XMP copies of
// orientation, size, exposure time, date and software follow where the first input has them.
// Returns true when done, or when the first input carries nothing to copy (the file is then
// untouched); false with warning set (naming the first input, not path) when something
// failed; a colour profile exiv2 refuses is left out that way while the rest is written. The
// file is edited in memory (for a moment about twice its size) and room for the new contents
// is reserved before its first byte changes, so a full disk leaves the codec's file as it was.
bool writeCompositeMetadata(const std::string& path, const CompositeFacts& facts,
                            std::string& warning);
