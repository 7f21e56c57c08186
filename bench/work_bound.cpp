// A lower bound for any stacking run on this machine: decode every input with libjpeg-turbo on
// every core, exactly as the run decodes them (4-byte pixels), and add each decoded band of 16
// rows into a band of linear values that never leaves the cache: the per-sample work of an
// average and nothing else. No accumulator in memory, no input order, no finalising, no
// output; a real run does all of this and more, so it cannot be faster than this program.
//
//   work-bound FILE...     prints the wall time in seconds
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <emmintrin.h>

// After <cstdio>: the library's header uses FILE and size_t without including them.
#include <jpeglib.h>

#include "engine/gamma.h"
#include "engine/messages.h"
#include "engine/parallel.h"

namespace {

constexpr int kBandRows = 16;

// The linear values of every red and green pair: entry 2 * (green * 256 + red) holds red's,
// the next green's.
alignas(16) double pairs[2 * 65536];

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Decodes one file band by band, adding each band into `band`; false when it cannot be read.
bool decodeAndAdd(const char* path, std::vector<uint8_t>& rows, std::vector<double>& band) {
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file)
        return false;
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);  // the sequence is ours; a broken file may exit
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file.get());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_XRGB;
    jpeg_start_decompress(&cinfo);
    const int64_t width = cinfo.output_width;
    rows.resize(static_cast<std::size_t>(width) * 4 * kBandRows);
    band.assign(static_cast<std::size_t>(width) * 4 * kBandRows, 0.0);
    JSAMPROW pointers[kBandRows];
    for (int r = 0; r < kBandRows; ++r)
        pointers[r] = rows.data() + r * width * 4;
    const double* table = gammaTable;
    while (cinfo.output_scanline < cinfo.output_height) {
        JDIMENSION got = 0;
        while (got < kBandRows && cinfo.output_scanline < cinfo.output_height)
            got += jpeg_read_scanlines(&cinfo, pointers + got, kBandRows - got);
        double* a = band.data();
        const uint8_t* p = rows.data();
        for (int64_t n = 0; n < int64_t{got} * width; ++n, a += 4, p += 4) {
            uint32_t v;
            std::memcpy(&v, p, sizeof v);
            // Red and green in one 16-byte load and one addition; the fastest form we know,
            // faster than the run's own fold (whose results it would equal).
            const __m128d sum =
                _mm_add_pd(_mm_loadu_pd(a + 1), _mm_load_pd(pairs + 2 * ((v >> 8) & 0xffff)));
            _mm_storeu_pd(a + 1, sum);
            a[3] = a[3] + table[v >> 24];
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: work-bound FILE...\n");
        return 2;
    }
    static const MessageSink quiet{nullptr, nullptr, [](const std::string&) {}};
    installMessageSink(&quiet);
    setupGamma(0, 2.2);
    for (int green = 0; green < 256; ++green) {
        for (int red = 0; red < 256; ++red) {
            pairs[2 * (green * 256 + red)] = gammaTable[red];
            pairs[2 * (green * 256 + red) + 1] = gammaTable[green];
        }
    }
    const std::vector<const char*> files(argv + 1, argv + argc);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::atomic<int64_t> checksum{0};  // keeps the sums from being optimised away
    const auto start = std::chrono::steady_clock::now();
    const auto work = [&] {
        std::vector<uint8_t> rows;
        std::vector<double> band;
        for (std::size_t i; (i = next++) < files.size();) {
            if (!decodeAndAdd(files[i], rows, band))
                failed = true;
            else
                checksum += static_cast<int64_t>(band[5] * 1000);
        }
    };
    std::vector<std::thread> helpers;
    for (int t = 1; t < workerCount(); ++t)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed) {
        std::fprintf(stderr, "work-bound: an input could not be read\n");
        return 1;
    }
    std::printf("%.3f (checksum %lld)\n", seconds, static_cast<long long>(checksum.load()));
    return 0;
}
