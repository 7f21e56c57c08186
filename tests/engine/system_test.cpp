#include "engine/system.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/image.h"
#include "support/capture.h"

namespace {

namespace fs = std::filesystem;

// A scratch folder of its own for each test, under a known umask.
class SystemTest : public ::testing::Test {
  protected:
    SystemTest() {
        std::string pattern = ::testing::TempDir() + "systemXXXXXX";
        dir = mkdtemp(pattern.data()) != nullptr ? pattern + "/" : "/nonexistent/";
        previousMask = umask(022);
    }
    ~SystemTest() override {
        umask(previousMask);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    void put(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir))
            found.push_back(entry.path().filename());
        std::sort(found.begin(), found.end());
        return found;
    }
    std::string dir;
    mode_t previousMask = 0;
};

// Whatever the writer and the file it replaces, the target either holds the complete new text
// with the mode it had (a new file: 0666 under the umask), or is untouched; a link in front of
// it stays a link, and no temporary file is left beside it.
TEST_F(SystemTest, ReplaceFileReplacesWholeOrNotAtAllKeepingModeAndLinks) {
    enum class Start { Missing, Private, ReadOnly, Linked, Loop };
    const struct Row {
        const char* name;
        Start start;
        bool writes;
        int result;
        const char* text;  // at the end of the link, afterwards
        mode_t mode;
        bool mayReplace;
    } rows[] = {
        {"new file", Start::Missing, true, REPLACE_DONE, "new", 0644, true},
        {"private file stays private", Start::Private, true, REPLACE_DONE, "new", 0600, true},
        {"failed write keeps the old file", Start::Private, false, REPLACE_NOT_WRITTEN, "old", 0600,
         true},
        // Checking is the caller's choice (images refuse, the settings file does not).
        {"read-only file", Start::ReadOnly, true, REPLACE_DONE, "new", 0444, false},
        {"link to a file", Start::Linked, true, REPLACE_DONE, "new", 0600, true},
        {"link loop", Start::Loop, true, REPLACE_NO_TEMPORARY, nullptr, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dir);
        fs::create_directory(dir);
        const std::string path = dir + "settings.ini";
        const bool linked = row.start == Start::Linked;
        const std::string real = linked ? dir + "real.ini" : path;
        if (row.start != Start::Missing && row.start != Start::Loop) {
            put(real, "old");
            chmod(real.c_str(), row.start == Start::ReadOnly ? 0444 : 0600);
        }
        if (linked || row.start == Start::Loop) {
            ASSERT_EQ(symlink(linked ? "real.ini" : "settings.ini", path.c_str()), 0);
        }
        const std::vector<std::string> before = names();
        if (geteuid() != 0 || row.start != Start::ReadOnly) {  // root may write any file
            EXPECT_EQ(mayReplaceFile(path), row.mayReplace);
        }
        const int result = replaceFile(path, [&](const std::string& temporary) {
            return row.writes && (std::ofstream(temporary, std::ios::binary) << "new").flush();
        });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(names(),
                  row.start == Start::Missing ? std::vector<std::string>{"settings.ini"} : before);
        if (row.text == nullptr)
            continue;
        std::stringstream text;
        text << std::ifstream(real, std::ios::binary).rdbuf();
        EXPECT_EQ(text.str(), row.text);
        struct stat info {};
        ASSERT_EQ(stat(real.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, row.mode);
        EXPECT_EQ(fs::is_symlink(path), linked);
    }
}

// A process dying of a signal must be able to remove the file still being written.
TEST_F(SystemTest, SignalPathRemovesTheTemporaryInFlight) {
    bool existed = false, removed = false;
    replaceFile(dir + "out.bmp", [&](const std::string& temporary) {
        existed = access(temporary.c_str(), F_OK) == 0;
        discardTemporaryFile();
        removed = access(temporary.c_str(), F_OK) != 0;
        return false;
    });
    EXPECT_TRUE(existed);
    EXPECT_TRUE(removed);
    EXPECT_TRUE(names().empty());
}

// A memory cgroup's limit binds the process whether it is set through v2 or v1, on the
// process's own cgroup or any ancestor; the smallest room wins, and "max" or v1's huge number
// is no limit at all. Levels are folder, limit and usage under the hierarchy's root.
TEST_F(SystemTest, CgroupMemoryRoomIsTheTightestLimitOfEveryHierarchy) {
    constexpr int64_t MB = int64_t{1} << 20;
    const std::string huge = "9223372036854771712";
    using Levels = std::vector<std::array<std::string, 3>>;
    const struct Case {
        std::string cgroup;  // /proc/self/cgroup; empty: none
        Levels levels;
        int64_t room;
    } cases[] = {
        // clang-format off
        {"0::/\n", {{"", "536870912\n", "134217728\n"}}, 384 * MB},
        // A parent's limit under an unlimited leaf.
        {"0::/user.slice/app.scope\n", {{"user.slice/app.scope/", "max\n", "52428800\n"},
          {"user.slice/", "536870912\n", "432013312\n"}, {"", "1073741824\n", "0\n"}}, 100 * MB},
        // The leaf tighter than its parent, and full.
        {"0::/job/step/\n", {{"job/step/", "314572800\n", "320000000\n"},
          {"job/", "1073741824\n", "419430400\n"}}, 0},
        {"0::/a\n", {{"a/", "max\n", "1000\n"}, {"", "max\n", "1000\n"}}, -1},
        {"0::/p/c\n", {{"p/c/", "536870912\n", "0\n"}, {"p/", "209715200\n", "0\n"}}, 200 * MB},
        {"12:pids:/job\n4:memory:/job\n0::/\n", {{"job/", "268435456\n", "58720256\n"},
          {"", huge, "3221225472"}}, 200 * MB},
        // v1's root files when the cgroup's own are not visible.
        {"9:cpuacct,memory,cpu:/docker/abc\n", {{"", "536870912\n", "117440512\n"}}, 400 * MB},
        {"4:memory:/\n", {{"", huge + "\n", "1073741824\n"}}, -1},
        {"", {}, -1},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cgroup);
        const std::string root = dir + std::to_string(&c - cases);
        const bool v1 = c.cgroup.find("memory") != std::string::npos;
        fs::create_directories(root);
        if (!c.cgroup.empty())
            put(root + "/proc/self/cgroup", c.cgroup);
        for (const auto& [folder, limit, usage] : c.levels) {
            const std::string at = root + (v1 ? "/sys/fs/cgroup/memory/" : "/sys/fs/cgroup/");
            put(at + folder + (v1 ? "memory.limit_in_bytes" : "memory.max"), limit);
            put(at + folder + (v1 ? "memory.usage_in_bytes" : "memory.current"), usage);
        }
        EXPECT_EQ(cgroupMemoryRoom(root), c.room);
    }
}

// An address-space limit (ulimit -v) is memory the process cannot have, however much the
// machine holds: an image that fits under it loads, one that would not fit together with its
// decoder's buffers is refused before anything is mapped. Checked in a child, which alone is
// limited.
TEST_F(SystemTest, AddressSpaceLimitCountsAsUnavailableMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's own mappings make the limit meaningless";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        // 64 MB more than the child uses now; the image is 9 MB, with the buffers 81 MB.
        const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
        const struct rlimit limit = {cap, cap};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        Image image;
        image.width = image.height = 1500;
        image.bytesPerLine = 4 * 1500;
        image.bitsPerPixel = 32;
        image.dataSize = 4 * 1500 * 1500;
        if (allocImagePixels(image, true, int64_t{72} << 20) != nullptr)
            _exit(11);
        _exit(allocImagePixels(image) == nullptr ? 12 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Requests no machine could meet are refused up front instead of being over-committed, and
// reported like any refusal (the run's refusals are the command line's fault table).
TEST_F(SystemTest, ImpossibleRequestsAreRefusedAndReported) {
    MessageCapture capture;
    EXPECT_EQ(allocPixels(-32), nullptr);
    EXPECT_EQ(allocPixels(int64_t{1} << 50), nullptr);
    EXPECT_EQ(capture.errors(),
              (std::vector<std::string>{"Error allocating 0 KB of memory",
                                        "Error allocating 1099511627776 KB of memory"}));
}

}  // namespace
