#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/image.h"
#include "engine/system.h"
#include "support/capture.h"

namespace {

TEST(Image, CompareLooksAtSizeAndFormatOnly) {
    Image a, b;
    a.width = 100, a.height = 80, a.bitsPerPixel = 32;
    b.width = 80, b.height = 100, b.bitsPerPixel = 32;
    EXPECT_EQ(compareImages(a, b), 0);
    b.width = 100, b.height = 80, b.bitsPerPixel = 256;
    EXPECT_EQ(compareImages(a, b), 1);
    b.dataFormat = 1;
    EXPECT_EQ(compareImages(a, b), 0);
}

TEST(Image, PixelMemoryIsZeroFilledAndFailuresAreReported) {
    MessageCapture capture;
    const int64_t size = 3 * 1024 * 1024 + 7;
    PixelBlock* block = allocPixels(size);
    ASSERT_NE(block, nullptr);
    for (int64_t i = 0; i < size; i += 4093)
        ASSERT_EQ(pixelData(block)[i], 0);
    freePixels(block);
    freePixels(nullptr);

    EXPECT_EQ(allocPixels(-32), nullptr);
    // Far more than any machine has: refused up front instead of being over-committed.
    EXPECT_EQ(allocPixels(int64_t{1} << 50), nullptr);
    setAllocationFilter([](int64_t) { return false; });
    EXPECT_EQ(allocPixels(4096), nullptr);
    setAllocationFilter(nullptr);
    EXPECT_EQ(capture.errors(),
              (std::vector<std::string>{"Error allocating 0 KB of memory",
                                        "Error allocating 1099511627776 KB of memory",
                                        "Error allocating 4 KB of memory"}));
}

// Padded rows of three samples become packed rows of four, the filler first; sixteen-bit
// samples keep both bytes until narrowing keeps the high ones.
TEST(Image, ExpandDropsRowPaddingAndNarrowKeepsHighBytes) {
    Image image{5, 2, 16, 24};  // five pixels a row: 15 bytes, padded to 16
    image.pixels = allocPixels(4 * 5 * 2);
    uint8_t* data = pixelData(image);
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 15; ++i)
            data[y * 16 + i] = static_cast<uint8_t>(50 * y + i + 1);
    expandToFourSamples(image);
    EXPECT_EQ(image.bitsPerPixel, 32);
    EXPECT_EQ(image.bytesPerLine, 20);
    EXPECT_EQ(image.dataSize, 40);
    for (int n = 0; n < 10; ++n) {
        const int first = 50 * (n / 5) + 3 * (n % 5) + 1;
        const uint8_t want[4] = {255, uint8_t(first), uint8_t(first + 1), uint8_t(first + 2)};
        EXPECT_EQ(std::memcmp(data + 4 * n, want, 4), 0) << "pixel " << n;
    }
    freePixels(image.pixels);

    image = Image{2, 1, 12, 48, 12, allocPixels(16)};
    data = pixelData(image);
    const uint16_t source[6] = {0x1234, 0xABCD, 0x00FF, 0xFF00, 0x8001, 0x7FFF};
    std::memcpy(data, source, sizeof source);
    expandToFourSamples(image);
    ASSERT_EQ(image.bitsPerPixel, 64);
    const uint16_t wantExpanded[8] = {65535, 0x1234, 0xABCD, 0x00FF, 65535, 0xFF00, 0x8001, 0x7FFF};
    EXPECT_EQ(std::memcmp(data, wantExpanded, sizeof wantExpanded), 0);
    for (int twice = 0; twice < 2; ++twice) {  // the second time there is nothing to do
        narrowSamples(image);
        EXPECT_EQ(image.bitsPerPixel, 32);
        EXPECT_EQ(image.bytesPerLine, 8);
        EXPECT_EQ(image.dataSize, 8);
        const uint8_t wantNarrow[8] = {255, 0x12, 0xAB, 0x00, 255, 0xFF, 0x80, 0x7F};
        EXPECT_EQ(std::memcmp(data, wantNarrow, 8), 0);
    }
    freePixels(image.pixels);
}

// A memory cgroup's limit binds the process whether it is set through v2 or v1, on the
// process's own cgroup or any ancestor; the smallest room wins, and "max" or v1's huge number
// is no limit at all.
TEST(Image, CgroupMemoryRoomIsTheTightestLimitOfEveryHierarchy) {
    constexpr int64_t MB = int64_t{1} << 20;
    const std::string v2 = "sys/fs/cgroup/", v1 = "sys/fs/cgroup/memory/";
    const std::string v1Unlimited = "9223372036854771712";
    const struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        int64_t room;
    } cases[] = {
        {"v2 at the root",
         {{"proc/self/cgroup", "0::/\n"},
          {v2 + "memory.max", "536870912\n"},
          {v2 + "memory.current", "134217728\n"}},
         384 * MB},
        {"v2 parent limit under an unlimited leaf",
         {{"proc/self/cgroup", "0::/user.slice/app.scope\n"},
          {v2 + "user.slice/app.scope/memory.max", "max\n"},
          {v2 + "user.slice/app.scope/memory.current", "52428800\n"},
          {v2 + "user.slice/memory.max", "536870912\n"},
          {v2 + "user.slice/memory.current", "432013312\n"},
          {v2 + "memory.max", "1073741824\n"},
          {v2 + "memory.current", "0\n"}},
         100 * MB},
        {"v2 leaf tighter than its parent, full",
         {{"proc/self/cgroup", "0::/job/step/\n"},
          {v2 + "job/step/memory.max", "314572800\n"},
          {v2 + "job/step/memory.current", "320000000\n"},
          {v2 + "job/memory.max", "1073741824\n"},
          {v2 + "job/memory.current", "419430400\n"}},
         0},
        {"v2 max",
         {{"proc/self/cgroup", "0::/a\n"},
          {v2 + "a/memory.max", "max\n"},
          {v2 + "a/memory.current", "1000\n"},
          {v2 + "memory.max", "max\n"},
          {v2 + "memory.current", "1000\n"}},
         -1},
        {"v1 limit on the process's cgroup",
         {{"proc/self/cgroup", "12:pids:/job\n4:memory:/job\n0::/\n"},
          {v1 + "job/memory.limit_in_bytes", "268435456\n"},
          {v1 + "job/memory.usage_in_bytes", "58720256\n"},
          {v1 + "memory.limit_in_bytes", v1Unlimited},
          {v1 + "memory.usage_in_bytes", "3221225472"}},
         200 * MB},
        {"v1 root files when the cgroup's own are not visible",
         {{"proc/self/cgroup", "9:cpuacct,memory,cpu:/docker/abc\n"},
          {v1 + "memory.limit_in_bytes", "536870912\n"},
          {v1 + "memory.usage_in_bytes", "117440512\n"}},
         400 * MB},
        {"v1 unlimited",
         {{"proc/self/cgroup", "4:memory:/\n"},
          {v1 + "memory.limit_in_bytes", v1Unlimited + "\n"},
          {v1 + "memory.usage_in_bytes", "1073741824\n"}},
         -1},
        {"no cgroup files", {}, -1},
    };
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "quorvane-cgroup-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path base = pattern;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path root = base / std::to_string(&c - cases);
        fs::create_directories(root);
        for (const auto& [path, text] : c.files) {
            fs::create_directories((root / path).parent_path());
            std::ofstream(root / path) << text;
        }
        EXPECT_EQ(cgroupMemoryRoom(root.string()), c.room);
    }
    fs::remove_all(base);
}

// An address-space limit (ulimit -v) is memory the process cannot have, however much the
// machine holds: an image that fits under it loads, one that would not fit together with its
// accumulator is refused before anything is mapped. Checked in a child, which alone is
// limited.
TEST(Image, AddressSpaceLimitCountsAsUnavailableMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own mappings make the limit meaningless";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        // 64 MB more than the child uses now; the image is 9 MB, with its accumulator 81 MB.
        const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
        const struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        const Image image{1500, 1500, 4 * 1500, 32, 4 * 1500 * 1500};
        setImageReserve(32);
        if (allocImagePixels(image) != nullptr || !refusedForImageReserve())
            _exit(11);
        setImageReserve(0);
        _exit(allocImagePixels(image) == nullptr ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
