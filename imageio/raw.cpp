// RAW adapter over LibRaw. The library reads, demosaics and converts colour; what stays here is
// setting it up like its dcraw emulation with linear 16-bit output, keeping its messages off
// standard error, checking memory before it allocates, and subtracting a dark frame on the
// sensor data between unpacking and developing.
#include "imageio/raw.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <libraw.h>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/system.h"
#include "imageio/filenames.h"

namespace {

constexpr const char* kRawExtensions[] = {"dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "srf",
                                          "sr2", "raf", "orf", "rw2", "pef", "srw", "x3f", "3fr",
                                          "iiq", "erf", "kdc", "dcr", "mrw", "mos", "rwl"};

constexpr int64_t kMegabyte = int64_t{1} << 20;

// LibRaw's default handlers print to standard error; a codec never prints. Damaged data only
// shows through the data handler (unpacking may still succeed, with zeros where data was
// missing), so the first complaint is kept and refuses the file.
void keepDataError(void* data, const char*, const int offset) {
    auto* text = static_cast<std::string*>(data);
    if (text->empty()) {
        *text = offset < 0 ? std::string("unexpected end of file")
                           : "corrupt data near byte " + std::to_string(offset);
    }
}

// The failing call returns LibRaw's code for it, which is what gets reported.
void ignoreMemoryError(void*, const char*, const char*) {}

// LibRaw's own ceiling on the sensor data it unpacks: its default, lowered to what the machine
// can give now.
unsigned libRawMemoryLimit() {
    const int64_t available = std::max<int64_t>(availableMemory() / kMegabyte, 1);
    return static_cast<unsigned>(std::min<int64_t>(available, LIBRAW_MAX_ALLOC_MB_DEFAULT));
}

// One LibRaw instance (it is large: keep it off the stack) set up as the dcraw emulation for
// our output.
struct Decoder {
    LibRaw raw;
    std::string dataError;

    static std::unique_ptr<Decoder> create(const RawOptions& options) {
        std::unique_ptr<Decoder> decoder(new (std::nothrow) Decoder);
        if (decoder == nullptr)
            return nullptr;
        LibRaw& raw = decoder->raw;
        raw.set_dataerror_handler(keepDataError, &decoder->dataError);
        raw.set_memerror_handler(ignoreMemoryError, nullptr);
        libraw_output_params_t& p = raw.imgdata.params;
        p.output_bps = 16;
        p.gamm[0] = p.gamm[1] = 1;
        p.no_auto_bright = 1;
        p.output_color = 1;
        p.use_camera_wb = options.daylight ? 0 : 1;
        p.user_flip = 0;
        p.half_size = options.halfSize ? 1 : 0;
        p.max_raw_memory_mb = libRawMemoryLimit();
        return decoder;
    }

    const libraw_image_sizes_t& sizes() const { return raw.imgdata.rawdata.sizes; }
    const libraw_iparams_t& camera() const { return raw.imgdata.rawdata.iparams; }
    bool mosaic() const { return camera().filters != 0 || camera().colors == 1; }

    // The unpacked sensor data: one sample a pixel for mosaics and monochrome sensors, four
    // for every other layout, with the few rows some decoders add below; floating-point files
    // hold their samples as read beside the converted ones.
    int64_t unpackedBytes() {
        const int64_t pixels = int64_t{sizes().raw_width} * (sizes().raw_height + 8);
        const int64_t samples = mosaic() ? 1 : 4;
        return pixels * samples * (raw.is_floating_point() != 0 ? 2 + 4 : 2);
    }

    // Everything developing takes at its peak, our pixels included: the unpacked data, the
    // working image of four samples a pixel, and the result; stretching non-square pixels and
    // turning rotated sensors upright make the result larger and hold a second working image
    // while they run.
    int64_t developBytes() {
        const int shrink = options().half_size != 0 && camera().filters != 0 ? 1 : 0;
        const int64_t working =
            int64_t{(sizes().width + shrink) >> shrink} * ((sizes().height + shrink) >> shrink) * 8;
        const double aspect = sizes().pixel_aspect > 0 ? sizes().pixel_aspect : 1.0;
        double growth = std::max(aspect, 1.0 / aspect);
        if (raw.is_fuji_rotated() != 0)
            growth *= 2;
        const auto result = static_cast<int64_t>(static_cast<double>(working) * growth);
        return unpackedBytes() + working + (growth > 1.0 ? 2 * result : result);
    }

    const libraw_output_params_t& options() const { return raw.imgdata.params; }
};

// Black levels as LibRaw holds them for a file: a common level, one per colour, and a
// repeating pattern over the visible area.
struct Blacks {
    unsigned black = 0;
    unsigned cblack[LIBRAW_CBLACK_SIZE] = {};

    explicit Blacks(const libraw_colordata_t& color) : black(color.black) {
        std::memcpy(cblack, color.cblack, sizeof cblack);
    }

    int at(int row, int col, int color) const {
        unsigned level = black + (color < 4 ? cblack[color] : 0);
        const unsigned rows = cblack[4], cols = cblack[5];
        if (rows != 0 && cols != 0 && rows * cols <= LIBRAW_CBLACK_SIZE - 6)
            level += cblack[6 + row % rows * cols + col % cols];
        return static_cast<int>(std::min(level, 65535u));
    }
};

// Where the sensor values of an unpacked file lie: pixelStep samples a pixel (1 for mosaics),
// the first `channels` of them used.
struct SensorView {
    uint16_t* first = nullptr;
    int64_t rowStep = 0;
    int64_t pixelStep = 0;
    int channels = 0;
};

// What a dark frame and a light must share for the dark to be subtracted on the sensor.
struct SensorLayout {
    std::string make, model;
    int rawWidth = 0, rawHeight = 0, width = 0, height = 0, top = 0, left = 0;
    unsigned filters = 0;
    char xtrans[6][6] = {};
    int colors = 0;
    int64_t pixelStep = 0;

    bool operator==(const SensorLayout&) const = default;
};

// The sensor data of a file whose values are plain sensor counts, pixel for pixel, and its
// layout; nothing for the layouts whose counts need the library's own corrections first
// (Phase One's black tables, sRAW's YCbCr, Fuji's rotated sensors) or that hold floats only.
std::optional<std::pair<SensorView, SensorLayout>> sensorOf(Decoder& decoder) {
    LibRaw& raw = decoder.raw;
    libraw_rawdata_t& data = raw.imgdata.rawdata;
    if (data.ph1_cblack != nullptr || data.ph1_rblack != nullptr || raw.is_sraw() != 0 ||
        raw.is_nikon_sraw() != 0 || raw.is_fuji_rotated() != 0) {
        return std::nullopt;
    }
    const libraw_image_sizes_t& s = decoder.sizes();
    const int64_t rowStep = s.raw_pitch / 2;
    SensorView view;
    if (data.raw_image != nullptr && decoder.mosaic()) {
        view = {data.raw_image, rowStep, 1, 1};
    } else if (data.color4_image != nullptr) {
        view = {&data.color4_image[0][0], rowStep, 4, std::min(decoder.camera().colors, 4)};
    } else if (data.color3_image != nullptr) {
        view = {&data.color3_image[0][0], rowStep, 3, std::min(decoder.camera().colors, 3)};
    } else {
        return std::nullopt;
    }
    if (view.channels < 1 || s.left_margin + s.width > s.raw_width ||
        s.top_margin + s.height > s.raw_height || rowStep < s.raw_width * view.pixelStep) {
        return std::nullopt;
    }
    view.first += s.top_margin * rowStep + s.left_margin * view.pixelStep;
    SensorLayout layout;
    layout.make = decoder.camera().make;
    layout.model = decoder.camera().model;
    layout.rawWidth = s.raw_width;
    layout.rawHeight = s.raw_height;
    layout.width = s.width;
    layout.height = s.height;
    layout.top = s.top_margin;
    layout.left = s.left_margin;
    layout.filters = decoder.camera().filters;
    std::memcpy(layout.xtrans, decoder.camera().xtrans, sizeof layout.xtrans);
    layout.colors = decoder.camera().colors;
    layout.pixelStep = view.pixelStep;
    return std::make_pair(view, layout);
}

// The visible sensor values of a dark frame, with what is needed to match and subtract them.
struct DarkFrame {
    DarkFrame(const SensorLayout& sensor, const libraw_colordata_t& color)
        : layout(sensor), blacks(color) {}

    SensorLayout layout;
    Blacks blacks;
    std::vector<uint16_t> values;  // row by row, the view's channels a pixel
};

// Reads a dark frame's sensor data; nothing when the file is not a RAW file whose sensor values
// we can use (the caller then subtracts the dark after decoding) or does not fit in memory.
std::shared_ptr<const DarkFrame> loadDarkFrame(const std::string& path) {
    std::unique_ptr<Decoder> decoder = Decoder::create(RawOptions{});
    if (decoder == nullptr || decoder->raw.open_file(path.c_str()) != LIBRAW_SUCCESS)
        return nullptr;
    const int64_t visible = int64_t{decoder->sizes().width} * decoder->sizes().height;
    const int64_t keptBytes = visible * (decoder->mosaic() ? 1 : 4) * 2;
    if (!allocationAllowed(decoder->unpackedBytes() + keptBytes) ||
        decoder->raw.unpack() != LIBRAW_SUCCESS || !decoder->dataError.empty()) {
        return nullptr;
    }
    const auto sensor = sensorOf(*decoder);
    if (!sensor)
        return nullptr;
    const auto& [view, layout] = *sensor;
    auto frame = std::make_shared<DarkFrame>(layout, decoder->raw.imgdata.rawdata.color);
    frame->values.resize(static_cast<size_t>(visible * view.channels));
    uint16_t* to = frame->values.data();
    for (int row = 0; row < layout.height; ++row) {
        const uint16_t* from = view.first + row * view.rowStep;
        for (int col = 0; col < layout.width; ++col, from += view.pixelStep) {
            for (int c = 0; c < view.channels; ++c)
                *to++ = from[c];
        }
    }
    return frame;
}

// The one dark frame of a run, shared by the loader threads. The lock is held while a dark is
// read, so the others wait for it instead of reading it too. A file we cannot use is remembered
// as well, so it is tried once.
struct DarkCache {
    std::mutex mutex;
    std::string path;
    int64_t modified = -1;
    int64_t size = -1;
    std::shared_ptr<const DarkFrame> frame;
};

DarkCache& darkCache() {
    static DarkCache cache;
    return cache;
}

std::shared_ptr<const DarkFrame> sharedDarkFrame(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return nullptr;
    const int64_t modified = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
    DarkCache& cache = darkCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.path == path && cache.modified == modified && cache.size == status.st_size)
        return cache.frame;
    // Loaders still subtracting the previous dark keep it until they are done.
    cache.frame.reset();
    try {
        cache.frame = loadDarkFrame(path);
    } catch (const std::bad_alloc&) {
        cache.frame = nullptr;
    }
    cache.path = path;
    cache.modified = modified;
    cache.size = status.st_size;
    return cache.frame;
}

// light - (dark - dark's black) * opacity on every visible sample, keeping the light's black
// level as LibRaw knows it (it subtracts that later, clipping what lies below at zero). A dark
// below its black (read noise) adds to the light, so the noise does not bias the result; clipped
// samples stay clipped, or highlights would turn coloured.
void subtractDarkFrame(Decoder& light, const SensorView& view, const DarkFrame& dark,
                       double opacity) {
    const int clipped = static_cast<int>(light.raw.imgdata.rawdata.color.maximum);
    const bool mosaic = view.pixelStep == 1;
    const bool filtered = light.camera().filters != 0;
    const uint16_t* darkValue = dark.values.data();
    for (int row = 0; row < dark.layout.height; ++row) {
        uint16_t* pixel = view.first + row * view.rowStep;
        for (int col = 0; col < dark.layout.width; ++col, pixel += view.pixelStep) {
            for (int c = 0; c < view.channels; ++c, ++darkValue) {
                const int color = mosaic ? (filtered ? light.raw.COLOR(row, col) : 0) : c;
                const int value = pixel[c];
                if (clipped > 0 && value >= clipped)
                    continue;
                const int darkSignal = *darkValue - dark.blacks.at(row, col, color);
                const long lowered = value - std::lround(darkSignal * opacity);
                pixel[c] = static_cast<uint16_t>(std::clamp(lowered, 0L, 65535L));
            }
        }
    }
}

// The result rows arrive packed (colors samples of 16 bits a pixel) at the start of each of
// our rows; spread in place to filler, R, G, B. Backwards, so no sample is overwritten before
// it has been read.
void spreadRow(uint8_t* row, int width, int colors) {
    for (int x = width - 1; x >= 0; --x) {
        uint16_t rgb[3];
        for (int c = 0; c < 3; ++c)
            std::memcpy(&rgb[c], row + 2 * (int64_t{x} * colors + (colors == 1 ? 0 : c)), 2);
        const uint16_t pixel[4] = {65535, rgb[0], rgb[1], rgb[2]};
        std::memcpy(row + int64_t{x} * 8, pixel, sizeof pixel);
    }
}

int refuse(Image& image, const char* path, const char* message) {
    reportError("Cannot read RAW file %s: %s", path, message);
    freePixels(image.pixels);
    initImage(image);
    return -1;
}

int develop(Image& image, const char* path, Decoder& decoder, const RawOptions& options,
            RawResult& result) {
    LibRaw& raw = decoder.raw;
    std::string fullPath;
    if (getFullPath(path, fullPath) != 0)
        return refuse(image, path, "cannot get the full path");
    int code = raw.open_file(fullPath.c_str());
    if (code != LIBRAW_SUCCESS)
        return refuse(image, path, LibRaw::strerror(code));
    const int64_t needed = decoder.developBytes();
    if (!allocationAllowed(needed)) {
        const std::string message =
            "not enough memory (" + std::to_string(needed / kMegabyte + 1) + " MB needed)";
        return refuse(image, path, message.c_str());
    }
    code = raw.unpack();
    if (code != LIBRAW_SUCCESS || !decoder.dataError.empty()) {
        std::string message = code != LIBRAW_SUCCESS ? LibRaw::strerror(code) : "damaged data";
        if (!decoder.dataError.empty())
            message += " (" + decoder.dataError + ")";
        return refuse(image, path, message.c_str());
    }

    if (!options.darkFrame.empty()) {
        const std::shared_ptr<const DarkFrame> dark = sharedDarkFrame(options.darkFrame);
        const auto sensor = sensorOf(decoder);
        if (dark != nullptr && sensor && sensor->second == dark->layout) {
            subtractDarkFrame(decoder, sensor->first, *dark, options.darkOpacity);
            result.darkSubtracted = true;
        }
    }

    code = raw.dcraw_process();
    if (code != LIBRAW_SUCCESS)
        return refuse(image, path, LibRaw::strerror(code));
    int width = 0, height = 0, colors = 0, bits = 0;
    raw.get_mem_image_format(&width, &height, &colors, &bits);
    if (width <= 0 || height <= 0 || bits != 16 || (colors != 1 && colors != 3))
        return refuse(image, path, LibRaw::strerror(LIBRAW_FILE_UNSUPPORTED));
    image.width = width;
    image.height = height;
    image.bitsPerPixel = 64;
    image.bytesPerLine = int64_t{width} * 8;
    image.dataSize = image.bytesPerLine * height;
    // The unpacked data and the working image stay until the decoder goes.
    const int64_t working = int64_t{raw.imgdata.sizes.iwidth} * raw.imgdata.sizes.iheight * 8;
    image.pixels = allocImagePixels(image, false, decoder.unpackedBytes() + working);
    if (image.pixels == nullptr) {
        initImage(image);
        return -1;
    }
    // Written with our row pitch, so each row's packed samples land where the row begins.
    code = raw.copy_mem_image(pixelData(image), static_cast<int>(image.bytesPerLine), 0);
    if (code != LIBRAW_SUCCESS)
        return refuse(image, path, LibRaw::strerror(code));
    for (int y = 0; y < height; ++y)
        spreadRow(pixelData(image) + y * image.bytesPerLine, width, colors);
    return 0;
}

}  // namespace

bool isRawExtension(const std::string& lowerCaseExtension) {
    return std::any_of(std::begin(kRawExtensions), std::end(kRawExtensions),
                       [&](const char* known) { return lowerCaseExtension == known; });
}

int readRAW(Image& image, const char* path, const RawOptions& options, RawResult* result) {
    initImage(image);
    RawResult outcome;
    if (result != nullptr)
        *result = outcome;
    std::unique_ptr<Decoder> decoder = Decoder::create(options);
    if (decoder == nullptr)
        return refuse(image, path, LibRaw::strerror(LIBRAW_UNSUFFICIENT_MEMORY));
    int status = -1;
    try {
        status = develop(image, path, *decoder, options, outcome);
    } catch (const std::bad_alloc&) {
        status = refuse(image, path, LibRaw::strerror(LIBRAW_UNSUFFICIENT_MEMORY));
    } catch (const std::exception& failure) {
        status = refuse(image, path, failure.what());
    }
    if (status == 0 && result != nullptr)
        *result = outcome;
    return status;
}

void releaseRawDarkFrame() {
    DarkCache& cache = darkCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.frame.reset();
    cache.path.clear();
    cache.modified = cache.size = -1;
}
