// Small images with known pixels, and a clean option state for each test.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "engine/combine.h"
#include "engine/gamma.h"
#include "engine/image.h"
#include "engine/options.h"
#include "support/images.h"

inline Rgb pixelAt(const Image& image, int n) {
    const uint8_t* p = pixelData(image) + n * 4;
    return {p[1], p[2], p[3]};
}

inline uint8_t encode(double linear) {
    uint8_t sample = 0;
    linearToSample(linear, sample);
    return sample;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setDefaultOptions(runOptions);
        setDefaultOptions(programOptions);
        imageCounter.store(0);
        stopRequest.store(0);
        setupGamma(0, 2.2);
    }
    void TearDown() override {
        for (Image& image : owned_)
            freePixels(image.pixels);
    }
    Image& keep(Image image) { return owned_.emplace_back(image); }
    // An accumulator for width x height inputs, as the run makes it from its first image.
    Image& accumulator(int width, int height = 1) {
        Image acc;
        acc.width = width;
        acc.height = height;
        EXPECT_EQ(prepareAccumulator(acc), 0);
        return keep(acc);
    }

  private:
    std::deque<Image> owned_;  // stable references
};
