#include "imageio/brightness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/rejection.h"
#include "imageio/codec_fixtures.h"
#include "imageio/dng_writer.h"
#include "imageio/imageio.h"

namespace {

using Brightness = FileTest;

// The oracle: (R + G + B) / 3 over every pixel of the full decode, 16-bit samples as v / 257.
double fullDecodeMean(const std::string& path) {
    OwnedImage owned;
    if (readImage(owned.image, path.c_str()) != 0 || !widenSamples(owned.image))
        return std::nan("");
    const auto* samples = reinterpret_cast<const uint16_t*>(owned.data());
    double sum = 0.0;
    for (int64_t i = 0; i < owned.image.dataSize / 2; ++i)
        sum += i % 4 == 0 ? 0.0 : samples[i] / 257.0;  // the filler comes first
    return sum / (3.0 * owned.image.width * owned.image.height);
}

// The sample tool's frames (it is built beside the command-line program), headlights in the
// third, in a size that is no multiple of 8; re-saved by our PNG writer at 8 and 16 bits
// (low bytes 0x80, so v / 257 and the high byte differ); a DNG developed at half size. Each
// measures within a level of its full decode; in each sequence only the lit frame is rejected.
TEST_F(Brightness, AgreesWithTheFullDecodeAndFindsTheFlash) {
    const auto tool = std::filesystem::path(QUORVANE_CLI).parent_path() / "make-sample-sequence";
    for (const char* ext : {"jpg", "bmp", "tif"}) {
        const std::string command = "'" + tool.string() + "' --camera -n 6 -W 203 -H 131 " +
                                    "--flash 3 '" + dir.path + "' f " + ext + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    const auto frame = [&](int number) { return dir.file("f000" + std::to_string(number)); };
    for (int number = 1; number <= 6; ++number) {
        OwnedImage owned;
        ASSERT_EQ(readImage(owned.image, (frame(number) + ".bmp").c_str()), 0);
        ASSERT_EQ(writeImage(owned.image, (frame(number) + ".png").c_str()), 0);
        ASSERT_TRUE(widenSamples(owned.image));
        for (int64_t i = 0; i < owned.image.dataSize; i += 2)
            owned.data()[i] = 0x80;
        ASSERT_EQ(writeImage(owned.image, (frame(number) + "-16.png").c_str()), 0);
    }
    std::vector<double> means, together(6);
    for (const char* suffix : {".bmp", ".tif", ".png", "-16.png", ".jpg"}) {
        means.clear();
        for (int number = 1; number <= 6; ++number) {
            const std::string path = frame(number) + suffix;
            means.push_back(measureBrightness(path.c_str()));
            EXPECT_NEAR(means.back(), fullDecodeMean(path), 1.0) << path;
        }
        const std::vector<Rejection> judged = rejectBright(means, 5);
        for (std::size_t i = 0; i < judged.size(); ++i) {
            EXPECT_EQ(judged[i].rejected, i == 2) << suffix << " " << i;
            EXPECT_TRUE(i == 2 || means[2] > means[i] + 50.0) << suffix << " " << i;
        }
    }
    dng::Raw raw;
    raw.width = 60, raw.height = 42;                  // even: half size drops no edge
    for (int i = 0; i < raw.width * raw.height; ++i)  // smooth, unclipped: no demosaic bias
        raw.samples.push_back(uint16_t(600 + i % raw.width * 40 + i / raw.width * 30));
    ASSERT_TRUE(dng::write(dir.file("shot.dng"), raw));
    EXPECT_NEAR(measureBrightness(dir.file("shot.dng").c_str()),
                fullDecodeMean(dir.file("shot.dng")), 1.0);

    // Measured on several threads at once, each JPEG gives what it gave alone.
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&together, path = frame(i + 1) + ".jpg", i] {
            together[i] = measureBrightness(path.c_str());
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(together, means);
    EXPECT_TRUE(capture.errors().empty());
}

// Whatever cannot be read is NaN, silently: the run reports it when it loads the file.
TEST_F(Brightness, UnreadableFilesAreNotANumber) {
    const struct {
        const char* name;
        Bytes contents;  // empty: no file
    } rows[] = {{"missing.jpg", {}},
                {"empty.jpg", {0}},
                {"header-only.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0}},
                {"text.tif", {'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF}},
                {"text.png", {'n', 'o'}},
                {"text.bmp", {'B', 'M', 0}},
                {"text.dng", {'I', 'I', 42, 0}},
                {"unknown.xyz", {1, 2, 3}}};
    for (const auto& row : rows) {
        if (!row.contents.empty())
            writeFile(dir.file(row.name), row.contents);
        EXPECT_TRUE(std::isnan(measureBrightness(dir.file(row.name).c_str()))) << row.name;
    }
    EXPECT_TRUE(capture.errors().empty());
    EXPECT_TRUE(capture.diagnostics().empty());
}

}  // namespace
