// The metadata adapter against independent readers: inputs are tagged with exiv2's command-line
// tool as a camera or an editor would, outputs are listed by that tool and decoded by
// ImageMagick.
#include "imageio/metadata.h"

#include <map>
#include <sstream>

#include "codec_fixtures.h"
#include "imageio/jpeg.h"
#include "imageio/png.h"
#include "imageio/tiff.h"

namespace {

// What a camera, a raw converter and an editor leave in a file; the tool drops what a format
// cannot hold (CFA fields in a TIFF's first directory).
const char kCameraCommands[] = R"(set Exif.Image.Make Canon
set Exif.Image.Model Canon EOS 5D
set Exif.Image.Orientation 6
set Exif.Image.Artist Jane Doe
set Exif.Image.Copyright (c) Jane Doe
set Exif.Image.BitsPerSample 8 8 8
set Exif.Image.DNGVersion 1 4 0 0
set Exif.Image.BlackLevel 256/1
set Exif.Photo.CFAPattern 0 2 0 2 0 1 1 2
set Exif.Photo.ExposureTime 1/125
set Exif.Photo.DateTimeOriginal 2023:04:05 06:07:08
set Exif.Photo.FNumber 28/10
set Exif.Photo.ISOSpeedRatings 400
set Exif.Photo.FocalLength 50/1
set Exif.Photo.LensModel EF50mm f/1.8
set Exif.GPSInfo.GPSLatitude 48/1 51/1 30/1
set Xmp.dc.creator Jane Doe
set Xmp.tiff.Orientation 6
add Iptc.Application2.Keywords night
add Iptc.Application2.Keywords stars
)";

// What every composite below carries besides the camera's fields.
const char kComposite[] = R"(set Exif.Photo.PixelXDimension 24
set Exif.Photo.PixelYDimension 16
set Exif.Image.Software Quorvane 1.03
set Exif.Image.DateTime 2023:04:05 06:09:00
set Exif.Image.ImageDescription Average of 4
set Exif.Photo.CompositeImage 2
set Exif.Photo.SourceImageNumberOfCompositeImage 5 4
set Exif.Photo.ExposureTime 37/1500
)";

using Tags = std::map<std::string, std::string>;

// Lines of a key and a value as the tool lists them (a repeated key's values joined with '|'),
// or its commands: set replaces, add appends.
Tags parseTags(const std::string& text) {
    std::istringstream lines(text);
    Tags tags;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string key, value;
        fields >> key;
        const bool set = key == "set";
        if (set || key == "add")
            fields >> key;
        std::getline(fields >> std::ws, value);
        tags[key] = (set || tags[key].empty() ? "" : tags[key] + "|") + value;
    }
    return tags;
}

std::string run(const std::string& command) {
    return commandOutput<std::string>(command);
}

// A profile libpng accepts whole: a display header and one tag of data that does not compress
// below the shortest chunk it reads.
std::string colourProfile() {
    std::string profile(400, '\0');
    const std::pair<size_t, uint32_t> fields[] = {{0, 400},      {8, 0x02100000}, {68, 0xf6d6},
                                                  {72, 0x10000}, {76, 0xd32d},    {128, 1},
                                                  {136, 144},    {140, 256}};
    for (const auto& [at, value] : fields)
        for (size_t i = 0; i < 4; ++i)
            profile[at + i] = char(value >> (24 - 8 * i));
    profile.replace(12, 12, "mntrRGB XYZ ").replace(36, 4, "acsp").replace(132, 4, "zzzz");
    for (uint32_t i = 144, x = 1; i < 400; ++i)
        profile[i] = char((x = x * 1103515245 + 12345) >> 16);
    return profile;
}

class MetadataTest : public FileTest {
  protected:
    // Our codec's file (chosen by the extension) of a 24 x 16 pattern.
    std::string written(const std::string& name, int bitsPerPixel) {
        OwnedImage owned(24, 16, bitsPerPixel);
        paint(owned, pattern(24, 16, 3));
        const std::string path = dir.file(name);
        const int status = name.ends_with(".jpg")   ? writeJPEG(owned.image, path.c_str(), 90, 0)
                           : name.ends_with(".png") ? writePNG(owned.image, path.c_str())
                                                    : writeTIFF(owned.image, path.c_str());
        EXPECT_EQ(status, 0);
        return path;
    }
    // Our file tagged with the camera's and the extra commands, a colour profile and (JPEG) a
    // thumbnail.
    std::string tagged(const std::string& name, int bitsPerPixel, const std::string& extra) {
        const std::string path = written(name, bitsPerPixel),
                          stem = name.substr(0, name.rfind('.'));
        writeFile(dir.file(stem + ".icc"), colourProfile());
        writeFile(dir.file("commands"), kCameraCommands + extra);
        std::string command = "exiv2 -m '" + dir.file("commands") + "' mo '" + path +
                              "' && exiv2 -iC in '" + path + "'";
        if (name.ends_with(".jpg")) {
            written(stem + "-thumb.jpg", 24);
            command += " && exiv2 -it in '" + path + "'";
        }
        EXPECT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0);
        return path;
    }
};

// Each output format gets the first input's metadata, edited as a composite; ImageMagick decodes
// the same pixels as before, and a second run over the codec's file gives the same bytes.
TEST_F(MetadataTest, CarriesEditedMetadataIntoEveryOutputFormat) {
    const std::string camera =
        tagged("camera.jpg", 24, "set Exif.Image.DateTime 2021:01:01 00:00:00");
    const std::string raw = tagged("raw.dng", 32, "set Exif.Image.WhiteLevel 4095");
    const struct {
        const char* output;
        int bitsPerPixel;
        bool fromTiff;
        const char* bitsPerSample;  // the output's own; "" where the format has none
    } rows[] = {{"out.jpg", 24, false, ""},          {"out.png", 24, false, ""},
                {"out16.png", 48, true, ""},         {"out.tif", 32, false, "8 8 8 8"},
                {"out16.tif", 48, true, "16 16 16"}, {"from-raw.jpg", 24, true, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output);
        const std::string path = written(row.output, row.bitsPerPixel);
        const std::string twin = written(std::string("twin-") + row.output, row.bitsPerPixel);
        const std::string decode = "convert '" + path + "' -depth 16 rgb:-", pixels = run(decode);
        CompositeFacts facts;
        facts.firstInput = row.fromTiff ? raw : camera, facts.firstInputRotated = row.fromTiff;
        facts.imagesGiven = 5, facts.imagesCombined = 4, facts.exposureTime = 1.0 / 125 + 1.0 / 60;
        facts.dateTime = "2023:04:05 06:09:00", facts.description = "Average of 4";
        facts.software = "Quorvane 1.03", facts.width = 24, facts.height = 16;
        std::string warning;
        ASSERT_TRUE(writeCompositeMetadata(path, facts, warning)) << warning;
        ASSERT_TRUE(writeCompositeMetadata(twin, facts, warning)) << warning;
        EXPECT_EQ(readFile(path), readFile(twin));
        EXPECT_EQ(run(decode), pixels);
        EXPECT_EQ(run("convert '" + path + "' icc:-"), colourProfile());

        const std::string orientation = row.fromTiff ? "1" : "6";
        // Everything the camera set is carried, but for what describes its file or its sensor.
        Tags expected = parseTags(kCameraCommands + std::string(kComposite));
        expected["Exif.Image.Orientation"] = expected["Xmp.tiff.Orientation"] = orientation;
        expected["Exif.Image.BitsPerSample"] = row.bitsPerSample;
        for (const char* dropped :
             {"Exif.Thumbnail.Compression", "Exif.Image.DNGVersion", "Exif.Photo.CFAPattern",
              "Exif.Image.BlackLevel", "Exif.Image.WhiteLevel"})
            expected[dropped] = "";
        Tags tags = parseTags(run("exiv2 -PEIXkv '" + path + "'"));
        for (const auto& [key, value] : expected)
            EXPECT_EQ(tags[key], value) << key;
    }
}

// Nothing to copy leaves the codec's file as it was. A first input exiv2 cannot read, or a disk
// too full for the new contents, is a warning naming the input, and the file stays whole.
TEST_F(MetadataTest, LeavesTheOutputWholeWhenNothingIsCopied) {
    const std::string camera = tagged("camera.jpg", 24, ""), truncated = dir.file("cut.jpg");
    writeFile(truncated, readFile<std::string>(camera).substr(0, 3000));  // inside the XMP
    const struct {
        std::string firstInput;
        bool fullDisk, done;
    } rows[] = {{written("bare.jpg", 24), false, true},
                {truncated, false, false},
                {dir.file("missing.jpg"), false, false},
                {camera, true, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.firstInput);
        const std::string path = written("out.tif", 48);
        const Bytes before = readFile(path);
        CompositeFacts facts;
        facts.firstInput = row.firstInput;
        std::string warning;
        const auto write = [&] { return int(writeCompositeMetadata(path, facts, warning)); };
        EXPECT_EQ(row.fullDisk ? withFileSizeLimit(before.size() + 100, write) : write(),
                  int(row.done));
        EXPECT_EQ(warning.find(row.firstInput) != std::string::npos, !row.done) << warning;
        EXPECT_EQ(readFile(path), before);
    }
}

// Inputs tagged with the camera's commands and the row's ("": a file of ours, untagged).
TEST_F(MetadataTest, ReadsExposureAndDateOfEachInput) {
    const struct {
        const char *name, *commands;
        double exposureTime;
        const char* dateTimeOriginal;
    } rows[] = {{"camera.jpg", " ", 1.0 / 125, "2023:04:05 06:07:08"},
                {"raw.dng", "set Exif.Photo.ExposureTime 30/1", 30, "2023:04:05 06:07:08"},
                // A camera without a clock, and a zero exposure.
                {"blank.jpg",
                 "set Exif.Photo.ExposureTime 0/1\n"
                 "set Exif.Photo.DateTimeOriginal     :  :     :  :  ",
                 NAN, ""},
                // Only in XMP, as some editors write them.
                {"edited.png",
                 "del Exif.Photo.ExposureTime\ndel Exif.Photo.DateTimeOriginal\n"
                 "set Xmp.exif.ExposureTime 1/3\n"
                 "set Xmp.exif.DateTimeOriginal 2022-02-03T04:05:06+01:00",
                 1.0 / 3, "2022:02:03 04:05:06"},
                // Our TIFF's fields only describe the pixels.
                {"ours.tif", "", NAN, ""},
                {"missing.jpg", nullptr, NAN, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool tagging = row.commands != nullptr && *row.commands != 0;
        const std::string path = tagging        ? tagged(row.name, 24, row.commands)
                                 : row.commands ? written(row.name, 48)
                                                : dir.file(row.name);
        const FrameFacts facts = readFrameFacts(path.c_str());
        EXPECT_EQ(std::isnan(facts.exposureTime), std::isnan(row.exposureTime));
        if (!std::isnan(row.exposureTime)) {
            EXPECT_DOUBLE_EQ(facts.exposureTime, row.exposureTime);
        }
        EXPECT_EQ(facts.dateTimeOriginal, row.dateTimeOriginal);
        EXPECT_EQ(facts.hasMetadata, tagging);
    }
}

}  // namespace
