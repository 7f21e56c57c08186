// Small images with known pixels, and a clean option state for each test.
#pragma once

#include <gtest/gtest.h>

#include <array>
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
    Image& keep(Image image) {
        owned_.push_back(image);
        return owned_.back();
    }
    // An accumulator the size of image, as the run makes it from its first input.
    Image& accumulatorFor(const Image& image) {
        Image acc;
        copyImageHeader(image, acc);
        EXPECT_EQ(prepareAccumulator(acc), 0);
        return keep(acc);
    }

  private:
    std::deque<Image> owned_;  // stable references
};
