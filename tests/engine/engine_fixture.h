// Small images with known pixels, and a clean option state for each test.
#pragma once

#include <gtest/gtest.h>

#include <deque>

#include "engine/gamma.h"
#include "engine/image.h"
#include "engine/messages.h"
#include "engine/options.h"
#include "support/capture.h"
#include "support/images.h"

inline Rgb pixelAt(const Image& image, int n) {
    const uint8_t* p = pixelData(image) + n * 4;
    return {p[1], p[2], p[3]};
}

// The sRGB curve, built quietly (first used where no other capture is installed).
inline const Curve& srgb() {
    static const Curve curve = [] {
        MessageCapture quiet;
        return Curve(CURVE_SRGB, 2.2);
    }();
    return curve;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setDefaultOptions(runOptions);
        setDefaultOptions(programOptions);
        imageCounter.store(0);
        stopRequest.store(0);
    }
    void TearDown() override {
        for (Image& image : owned_)
            freePixels(image.pixels);
        owned_.clear();
    }
    Image& keep(Image image) { return owned_.emplace_back(image); }

  private:
    std::deque<Image> owned_;  // stable references
};
