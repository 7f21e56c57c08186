// DNG files for the RAW reader's tests and the fuzz seeds, written with libtiff: one
// uncompressed 16-bit image, a CFA mosaic (RGGB) or LinearRaw (R G B a pixel), with the tags a
// raw developer needs (levels, the neutral as shot, a colour matrix for D65).
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace dng {

constexpr uint16_t kCfa = 32803;
constexpr uint16_t kLinearRaw = 34892;

struct Raw {
    int width = 0, height = 0;
    uint16_t photometric = kCfa;
    std::vector<uint16_t> samples;  // row by row; LinearRaw interleaves R G B
    std::string model = "Test Body";
    // One level for all, one per position of the 2x2 CFA repeat, or one per LinearRaw sample.
    std::vector<float> black = {256};
    uint32_t white = 16383;
    std::vector<float> neutral = {0.5f, 1.0f, 0.8f};  // empty: none recorded
    int claimedWidth = 0, claimedHeight = 0;          // a header lying about the size

    int channels() const { return photometric == kCfa ? 1 : 3; }
};

// Some tags take a count before the array in libtiff's varargs; its field table says which.
template <class T>
bool setArray(TIFF* tif, uint32_t tag, const std::vector<T>& values) {
    return (TIFFFieldPassCount(TIFFFieldWithTag(tif, tag)) != 0
                ? TIFFSetField(tif, tag, int(values.size()), values.data())
                : TIFFSetField(tif, tag, values.data())) == 1;
}

inline bool write(const std::string& path, const Raw& raw) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr)
        return false;
    const bool cfa = raw.photometric == kCfa;
    const int height = raw.claimedHeight != 0 ? raw.claimedHeight : raw.height;
    const std::pair<uint32_t, int> fields[] = {
        {TIFFTAG_SUBFILETYPE, 0},
        {TIFFTAG_IMAGEWIDTH, raw.claimedWidth != 0 ? raw.claimedWidth : raw.width},
        {TIFFTAG_IMAGELENGTH, height},
        {TIFFTAG_ROWSPERSTRIP, height},
        {TIFFTAG_BITSPERSAMPLE, 16},
        {TIFFTAG_SAMPLESPERPIXEL, raw.channels()},
        {TIFFTAG_PHOTOMETRIC, raw.photometric},
        {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG},
        {TIFFTAG_CALIBRATIONILLUMINANT1, 21}};  // D65
    bool ok = true;
    for (const auto& [tag, value] : fields)
        ok = ok && TIFFSetField(tif, tag, value) == 1;
    const std::vector<float> colorMatrix = {0.9f, -0.3f, -0.1f, -0.4f, 1.2f,
                                            0.2f, -0.1f, 0.2f,  0.6f};
    ok = ok && TIFFSetField(tif, TIFFTAG_MAKE, "Quorvane") == 1 &&
         TIFFSetField(tif, TIFFTAG_MODEL, raw.model.c_str()) == 1 &&
         TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, ("Quorvane " + raw.model).c_str()) == 1 &&
         setArray(tif, TIFFTAG_DNGVERSION, std::vector<uint8_t>{1, 4, 0, 0}) &&
         setArray(tif, TIFFTAG_BLACKLEVEL, raw.black) &&
         setArray(tif, TIFFTAG_WHITELEVEL, std::vector<uint32_t>{raw.white}) &&
         setArray(tif, TIFFTAG_COLORMATRIX1, colorMatrix) &&
         (raw.neutral.empty() || setArray(tif, TIFFTAG_ASSHOTNEUTRAL, raw.neutral));
    if (cfa) {
        ok = ok && setArray(tif, TIFFTAG_CFAREPEATPATTERNDIM, std::vector<uint16_t>{2, 2}) &&
             setArray(tif, TIFFTAG_CFAPATTERN, std::vector<uint8_t>{0, 1, 1, 2}) &&
             (raw.black.size() != 4 ||
              setArray(tif, TIFFTAG_BLACKLEVELREPEATDIM, std::vector<uint16_t>{2, 2}));
    }
    const auto bytes = tmsize_t(raw.samples.size() * 2);
    ok = ok && TIFFWriteEncodedStrip(tif, 0, (void*)raw.samples.data(), bytes) == bytes;
    TIFFClose(tif);
    return ok;
}

// Gradients, stripes and noise in every channel, between black and white: work for the
// demosaic and every colour step.
inline std::vector<uint16_t> scene(int width, int height, int channels, uint32_t seed) {
    std::vector<uint16_t> samples;
    for (int i = 0; i < width * height * channels; ++i) {
        const int c = i % channels, x = i / channels % width, y = i / channels / width;
        const uint32_t noise = (uint32_t(x * 7 + y * 13 + c) * 2654435761u + seed) >> 24;
        samples.push_back(uint16_t(
            300 + (x * 97 + y * 61 + c * 900 + (x / 2 + y / 3) % 3 * 700 + int(noise)) % 15000));
    }
    return samples;
}

}  // namespace dng
