#include "imageio/raw.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "imageio/codec_fixtures.h"
#include "imageio/dng_writer.h"

namespace {

class Raw : public FileTest {
  protected:
    ~Raw() override { releaseRawDarkFrame(); }
};

using Samples = std::vector<uint16_t>;

// The oracle: LibRaw's own dcraw emulation develops the file to a 16-bit PPM; its R G B
// samples, with the size, or nothing when the tool failed.
Samples developedByTool(const std::string& dng, const RawOptions& options, int size[2]) {
    const std::string ppm = commandOutput<std::string>(
        std::string("dcraw_emu -4 -o 1 -t 0") + (options.daylight ? "" : " -w") +
        (options.halfSize ? " -h" : "") + " -Z - '" + dng + "'");
    Samples rgb;
    int header = 0;
    if (std::sscanf(ppm.c_str(), "P6 %d %d 65535%n", &size[0], &size[1], &header) == 2)
        for (size_t i = size_t(header) + 1; header != 0 && i + 1 < ppm.size(); i += 2)
            rgb.push_back(uint16_t(uint8_t(ppm[i]) << 8 | uint8_t(ppm[i + 1])));
    return rgb;
}

// readRAW's R G B samples; a filler other than 65535 spoils them.
Samples developed(const std::string& path, const RawOptions& options, RawResult* result,
                  int size[2]) {
    OwnedImage owned;
    Samples rgb;
    if (readRAW(owned.image, path.c_str(), options, result) != 0)
        return rgb;
    EXPECT_EQ(owned.image.bytesPerLine, owned.image.width * 8);
    const auto* pixels = reinterpret_cast<const uint16_t*>(owned.data());
    int64_t badFillers = 0;
    for (int64_t i = 0; i < owned.image.dataSize / 2; i += 4) {
        rgb.insert(rgb.end(), {pixels[i + 1], pixels[i + 2], pixels[i + 3]});
        badFillers += pixels[i] != 65535;
    }
    EXPECT_EQ(badFillers, 0);
    size[0] = owned.image.width, size[1] = owned.image.height;
    return rgb;
}

// Ours on one file against the tool on another (the same one, or the sensor data we expect).
void expectAsTool(const std::string& ours, const std::string& oracle, const RawOptions& options,
                  bool darkSubtracted) {
    int expectedSize[2] = {}, size[2] = {};
    const Samples expected = developedByTool(oracle, options, expectedSize);
    ASSERT_FALSE(expected.empty()) << "dcraw_emu (libraw-bin) failed on " << oracle;
    RawResult result;
    const Samples rgb = developed(ours, options, &result, size);
    EXPECT_EQ(result.darkSubtracted, darkSubtracted);
    EXPECT_TRUE(size[0] == expectedSize[0] && size[1] == expectedSize[1]);
    ASSERT_EQ(rgb.size(), expected.size());
    const auto at = std::mismatch(rgb.begin(), rgb.end(), expected.begin()).first - rgb.begin();
    EXPECT_EQ(at, ptrdiff_t(rgb.size())) << "first difference";
}

dng::Raw shot(uint16_t photometric, int width, int height, std::vector<float> black,
              uint32_t seed = 1) {
    dng::Raw raw;
    raw.photometric = photometric, raw.width = width, raw.height = height;
    raw.samples = dng::scene(width, height, raw.channels(), seed);
    raw.black = std::move(black);
    return raw;
}

TEST_F(Raw, DevelopsAsDcrawEmulation) {
    struct Row {
        dng::Raw raw;
        bool halfSize, daylight;
    } rows[] = {
        {shot(dng::kCfa, 40, 30, {256}), false, false},
        {shot(dng::kCfa, 40, 30, {256}), false, true},
        {shot(dng::kCfa, 41, 31, {250, 262, 258, 270}), true, false},
        {shot(dng::kLinearRaw, 40, 30, {256, 240, 270}), false, false},
        {shot(dng::kLinearRaw, 33, 25, {300}), true, true},
    };
    rows[1].raw.neutral.clear();  // no neutral as shot: daylight either way
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.raw.photometric << " " << row.raw.width << " half "
                                          << row.halfSize << " day " << row.daylight);
        const std::string path = dir.file("shot.dng");
        ASSERT_TRUE(dng::write(path, row.raw));
        RawOptions options;
        options.halfSize = row.halfSize, options.daylight = row.daylight;
        expectAsTool(path, path, options, false);
        EXPECT_TRUE(capture.errors().empty());
    }
}

// The sensor subtraction worked out by hand: the dark's signal above its own black, times the
// opacity, comes off the light (whose black the developer subtracts); clipped samples stay.
dng::Raw subtractedByHand(const dng::Raw& light, const dng::Raw& dark, double opacity) {
    dng::Raw result = light;
    for (size_t i = 0; i < light.samples.size(); ++i) {
        const size_t pixel = i / light.channels(), width = size_t(light.width);
        const size_t x = pixel % width, y = pixel / width, c = i % 3;
        const auto& b = dark.black;
        const float black = b.size() == 1 ? b[0] : b.size() == 4 ? b[y % 2 * 2 + x % 2] : b[c];
        const long value = light.samples[i] - std::lround((dark.samples[i] - black) * opacity);
        if (light.samples[i] < light.white)
            result.samples[i] = uint16_t(std::clamp(value, 0L, 65535L));
    }
    return result;
}

TEST_F(Raw, SubtractsDarkFrameOnSensor) {
    struct Row {
        uint16_t photometric;
        std::vector<float> lightBlack, darkBlack;
        double opacity;
        std::string darkModel = "Test Body";
        int darkWidth = 40;
    } rows[] = {
        {dng::kCfa, {250, 262, 258, 270}, {240}, 1.0},
        {dng::kCfa, {256}, {250, 262, 258, 270}, 0.5},
        {dng::kLinearRaw, {256, 240, 270}, {230, 250, 260}, 1.0},
        {dng::kCfa, {256}, {256}, 1.0, "Other Body"},  // another camera
        {dng::kCfa, {256}, {256}, 1.0, "Test Body", 42},
    };
    const std::string lightPath = dir.file("light.dng"), darkPath = dir.file("dark.dng");
    const std::string expectedPath = dir.file("expected.dng");
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.photometric << " " << row.opacity << " "
                                          << row.darkModel << " " << row.darkWidth);
        const bool matches = row.darkModel == "Test Body" && row.darkWidth == 40;
        dng::Raw light = shot(row.photometric, 40, 30, row.lightBlack);
        light.samples[3] = 100;  // below the dark's hot pixel: must not wrap around
        light.samples[5] = uint16_t(light.white);
        dng::Raw dark = shot(row.photometric, row.darkWidth, 30, row.darkBlack, 7);
        for (uint16_t& value : dark.samples)  // read noise around the black level, hot pixels
            value = uint16_t(value % 97 + 200 + (value % 13 == 0 ? 3000 : 0));
        dark.samples[3] = 4000;
        dark.model = row.darkModel;
        ASSERT_TRUE(
            dng::write(lightPath, light) && dng::write(darkPath, dark) &&
            dng::write(expectedPath, matches ? subtractedByHand(light, dark, row.opacity) : light));
        RawOptions options;
        options.halfSize = row.opacity != 1.0;  // the half-opacity row develops at half size
        options.darkFrame = darkPath, options.darkOpacity = row.opacity;
        expectAsTool(lightPath, expectedPath, options, matches);
        if (!matches)
            continue;

        // Loaders on two threads share the dark.
        int size[2][2];
        Samples other;
        std::thread loader([&] { other = developed(lightPath, options, nullptr, size[0]); });
        const Samples mine = developed(lightPath, options, nullptr, size[1]);
        loader.join();
        EXPECT_EQ(mine, other);
        // A dark rewritten since is read again.
        for (uint16_t& value : dark.samples)
            value = uint16_t(value + 40);
        const timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
        ASSERT_TRUE(dng::write(darkPath, dark) &&
                    utimensat(AT_FDCWD, darkPath.c_str(), later, 0) == 0 &&
                    dng::write(expectedPath, subtractedByHand(light, dark, row.opacity)));
        expectAsTool(lightPath, expectedPath, options, true);
    }
}

// Files to refuse with LibRaw's message or ours, keeping no pixels; the loadable and hostile
// ones are the fuzz target's seeds (written to $QUORVANE_RAW_SEEDS, e.g. fuzz/corpus/raw).
TEST_F(Raw, RefusesHostileFiles) {
    dng::Raw huge = shot(dng::kCfa, 40, 30, {256}), lying = huge;
    huge.claimedWidth = huge.claimedHeight = 60000;
    lying.claimedWidth = 64, lying.claimedHeight = 48;
    ASSERT_TRUE(
        dng::write(dir.file("cfa_40x30.dng"), shot(dng::kCfa, 40, 30, {256})) &&
        dng::write(dir.file("linear_raw_40x30.dng"), shot(dng::kLinearRaw, 40, 30, {256})) &&
        dng::write(dir.file("claims_60000x60000.dng"), huge) &&
        dng::write(dir.file("claims_64x48_holds_40x30.dng"), lying));
    Bytes cut = readFile(dir.file("linear_raw_40x30.dng"));
    cut.resize(cut.size() / 2);
    writeFile(dir.file("linear_raw_cut_in_half.dng"), cut);
    writeFile(dir.file("not_raw.dng"), Bytes(300, 'x'));
    struct Row {
        std::string name, refusal;  // "" when the file loads
        int64_t allocationCap = 0;
    } rows[] = {
        {"cfa_40x30.dng", ""},
        {"linear_raw_40x30.dng", ""},
        {"claims_60000x60000.dng", "not enough memory", int64_t{1} << 30},
        {"claims_64x48_holds_40x30.dng", "Input/output error (unexpected end of file)"},
        {"linear_raw_cut_in_half.dng", "Unsupported file format or not RAW file"},
        {"not_raw.dng", "Unsupported file format or not RAW file"},
        {"cfa_40x30.dng", "not enough memory", 20000},
    };
    const char* seeds = std::getenv("QUORVANE_RAW_SEEDS");
    static int64_t cap;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(row.name);
        if (seeds != nullptr && row.name != "not_raw.dng")
            std::filesystem::copy_file(path, std::string(seeds) + "/" + row.name,
                                       std::filesystem::copy_options::overwrite_existing);
        cap = row.allocationCap;
        setAllocationFilter(cap == 0 ? nullptr : +[](int64_t size) { return size <= cap; });
        capture.clear();
        const int64_t blocks = pixelBlocksInUse();
        Image image;
        EXPECT_EQ(readRAW(image, path.c_str(), RawOptions{}), row.refusal.empty() ? 0 : -1);
        EXPECT_EQ(image.pixels != nullptr, row.refusal.empty());
        freePixels(image.pixels);
        EXPECT_EQ(pixelBlocksInUse(), blocks);
        const std::string expected = "Cannot read RAW file " + path + ": " + row.refusal;
        EXPECT_EQ(capture.errors().size(), row.refusal.empty() ? 0u : 1u);
        for (const std::string& error : capture.errors())
            EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    }
}

}  // namespace
