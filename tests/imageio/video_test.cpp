#include "imageio/video.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "imageio/codec_fixtures.h"

namespace {

class Video : public FileTest {};

// A smooth picture of distinct channels, as a function of the position across the picture, so a
// scaled video must show the same values at the same relative place.
double gradient(int channel, double u, double v) {
    const double values[] = {40 + 170 * u, 210 - 150 * v, 60 + 60 * u + 60 * v};
    return values[channel];
}

void paintGradient(OwnedImage& owned) {
    const Image& image = owned.image;
    const bool wide = image.bitsPerPixel == 64;
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            uint8_t* pixel = owned.data() + y * image.bytesPerLine + x * (wide ? 8 : 4);
            for (int c = 0; c < 3; ++c) {
                const double level = gradient(c, (x + 0.5) / image.width, (y + 0.5) / image.height);
                if (wide)
                    reinterpret_cast<uint16_t*>(pixel)[c + 1] = uint16_t(std::lround(level * 257));
                else
                    pixel[c + 1] = uint8_t(std::lround(level));
            }
        }
    }
}

std::string probe(const std::string& path) {
    return commandOutput<std::string>(
        "ffprobe -v error -count_frames -show_entries "
        "stream=codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames -of csv=p=0 '" +
        path + "'");
}

// Mean distance of the first frame, as FFmpeg decodes it, from the painted gradient.
double meanDifference(const std::string& path, int width, int height) {
    const Bytes rgb =
        commandOutput("ffmpeg -v error -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    if (rgb.size() != size_t(width) * height * 3)
        return 255;
    double sum = 0;
    for (size_t i = 0; i < rgb.size(); ++i) {
        const int x = int(i / 3 % width), y = int(i / 3 / width);
        sum += std::abs(rgb[i] - gradient(int(i % 3), (x + 0.5) / width, (y + 0.5) / height));
    }
    return sum / double(rgb.size());
}

// ffprobe sees H.264 in yuv420p of the even, scaled size, at the frame rate, with one frame per
// addFrame; the first frame decodes close to what was painted.
TEST_F(Video, FilesHoldTheFramesAtTheScaledSize) {
    struct Row {
        int bits, width, height, maxWidth, fps, frames;
        std::string probed;
    };
    const Row rows[] = {
        {32, 64, 48, 0, 25, 5, "h264,64,48,yuv420p,25/1,5"},
        {64, 64, 48, 0, 30, 3, "h264,64,48,yuv420p,30/1,3"},
        {32, 65, 49, 0, 1, 2, "h264,64,48,yuv420p,1/1,2"},
        {64, 65, 49, 200, 240, 4, "h264,64,48,yuv420p,240/1,4"},
        {32, 4000, 3000, 1280, 24, 2, "h264,1280,960,yuv420p,24/1,2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.probed);
        const std::string path = dir.file("timelapse.mp4");
        OwnedImage frame(row.width, row.height, row.bits);
        paintGradient(frame);
        VideoWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, row.width, row.height, {row.fps, row.maxWidth}, error))
            << error;
        for (int i = 0; i < row.frames; ++i)
            ASSERT_TRUE(writer.addFrame(frame.image, error)) << error;
        ASSERT_TRUE(writer.close(error)) << error;
        EXPECT_EQ(writer.framesWritten(), row.frames);
        EXPECT_EQ(probe(path), row.probed + "\n");
        int width = 0, height = 0;
        std::sscanf(row.probed.c_str(), "h264,%d,%d", &width, &height);
        EXPECT_LT(meanDifference(path, width, height), 3);
    }
}

// Refusals leave the writer usable where they can; a full disk stops the video with the
// system's reason; no frame leaves no file; the same frames give the same bytes.
TEST_F(Video, FailuresAndEdges) {
    OwnedImage frame(64, 48, 32), small(32, 32, 32), noise(64, 48, 32);
    paintGradient(frame);
    uint32_t state = 1;
    for (uint8_t* at = noise.data(); at < noise.data() + noise.image.dataSize; ++at)
        *at = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
    const std::string path = dir.file("out.mp4");
    const auto open = [&](VideoWriter& writer, std::string& error) {
        return writer.open(path, 64, 48, {}, error);
    };
    const auto fillDisk = [&](VideoWriter& writer, std::string& error) {
        for (int i = 0; i < 3; ++i)
            writer.addFrame(noise.image, error);
        return int(writer.close(error));
    };
    struct Row {
        std::function<bool(VideoWriter&, std::string&)> steps;
        bool result;
        std::string message;
        bool fileLeft;
    };
    const Row rows[] = {
        {[&](auto& writer, auto& error) {
             return writer.open(dir.file("missing/out.mp4"), 64, 48, {}, error);
         },
         false, "can't create " + dir.file("missing/out.mp4") + ": No such file or directory",
         false},
        {[&](auto& writer, auto& error) {
             std::string later;
             return open(writer, error) && !writer.addFrame(small.image, error) &&
                    writer.addFrame(frame.image, later) && writer.close(later) &&
                    probe(path) == "h264,64,48,yuv420p,25/1,1\n";
         },
         true, "a frame of 32x32 does not fit " + path + ", which takes 64x48", true},
        {[&](auto& writer, auto& error) {
             return open(writer, error) &&
                    withFileSizeLimit(2000, [&] { return fillDisk(writer, error); }) != 0;
         },
         false, "can't write " + path + ": File too large", true},
        {[&](auto& writer, auto& error) { return open(writer, error) && writer.close(error); },
         true, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        std::filesystem::remove(path);
        std::string error;
        VideoWriter writer;
        EXPECT_EQ(row.steps(writer, error), row.result);
        EXPECT_EQ(error, row.message);
        EXPECT_EQ(std::filesystem::exists(path), row.fileLeft);
    }

    Bytes files[2];
    for (Bytes& file : files) {
        VideoWriter writer;
        std::string error;
        ASSERT_TRUE(open(writer, error));
        for (const OwnedImage* image : {&frame, &noise, &frame})
            ASSERT_TRUE(writer.addFrame(image->image, error));
        ASSERT_TRUE(writer.close(error));
        file = readFile(path);
    }
    EXPECT_EQ(files[0], files[1]);
}

}  // namespace
