// Every window test needs the toolkit's application object; one per test process.
#include <gtest/gtest.h>

#include "ui/platform/platform.h"

namespace {

class ApplicationEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "ui_tests";
        static char* argv[] = {name, nullptr};
        platformInit(argc, argv);
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment);

}  // namespace
