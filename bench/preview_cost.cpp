// What the Preview window costs a run: the same run over the same files with the preview's
// feed attached (asking for a window of the given size) and without, alternating so that
// both meet the same machine, the output discarded alike. Prints each run's wall and CPU time
// (every thread's), the medians, the median ratio of each pair (which a machine whose load
// drifts disturbs least) and how many pictures the feed made.
//
//   preview-cost [-r REPEATS] [-w WIDTH] [-h HEIGHT] [-m MODE] FILE...
//   (defaults: 5 repeats of each, an 800 x 500 window, mode 3 = brighten)
#include <sys/resource.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/preview.h"
#include "engine/stack.h"
#include "imageio/imageio.h"

namespace {

int discard(Image&, const char*, const OutputFacts&) {
    return 0;
}

void quiet(const std::string&) {}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 5, width = 800, height = 500, mode = MODE_BRIGHTEN;
    std::vector<std::string> arguments{"placeholder"};
    for (int i = 1; i < argc; ++i) {
        const bool valued = i + 1 < argc;
        if (valued && std::strcmp(argv[i], "-r") == 0)
            repeats = std::atoi(argv[++i]);
        else if (valued && std::strcmp(argv[i], "-w") == 0)
            width = std::atoi(argv[++i]);
        else if (valued && std::strcmp(argv[i], "-h") == 0)
            height = std::atoi(argv[++i]);
        else if (valued && std::strcmp(argv[i], "-m") == 0)
            mode = std::atoi(argv[++i]);
        else
            arguments.push_back(argv[i]);
    }
    if (arguments.size() < 2 || repeats < 1) {
        std::fprintf(stderr, "usage: preview-cost [-r REPEATS] [-w W] [-h H] [-m MODE] FILE...\n");
        return 2;
    }
    installImageFileHandlers();
    setImageFileHandlers(readImage, discard);
    static const MessageSink sink{quiet, quiet, quiet, nullptr};
    installMessageSink(&sink);
    setDefaultOptions(programOptions);
    programOptions.combine_mode = mode;

    std::atomic<int> pictures{0};
    std::vector<double> with, without, withCpu, withoutCpu, pairs;
    for (int r = 0; r < 2 * repeats; ++r) {
        const bool attached = r % 2 == 1;
        PreviewFeed feed([&](const Image&, int) { pictures.fetch_add(1); });
        feed.setTargetSize(width, height);
        RunContext context = snapshotRunContext();
        if (attached)
            feed.attach(context);
        const double cpu = cpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        if (runProcessing(context, static_cast<int>(arguments.size()), arguments) != 0)
            return 1;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double used = cpuSeconds() - cpu;
        (attached ? with : without).push_back(seconds);
        (attached ? withCpu : withoutCpu).push_back(used);
        if (attached)
            pairs.push_back(seconds / without.back());
        std::printf("%-8s %.3f s, CPU %.3f s  (%d images)\n", attached ? "preview" : "plain",
                    seconds, used, imageCounter.load());
        std::fflush(stdout);
    }
    std::printf(
        "median plain %.3f s, with the preview %.3f s: %+.1f %%; pairs %+.1f %%; CPU %+.1f "
        "%%; %.1f pictures a run\n",
        median(without), median(with), (median(with) / median(without) - 1) * 100,
        (median(pairs) - 1) * 100, (median(withCpu) / median(withoutCpu) - 1) * 100,
        pictures.load() / static_cast<double>(repeats));
    return 0;
}
