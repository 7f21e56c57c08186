// Video adapter over FFmpeg: libswscale converts and scales each frame, libavcodec's libx264
// wrapper encodes, libavformat's MP4 muxer writes. Every FFmpeg object has one owner in
// Encoder, so each way out of a call frees them; FFmpeg's headers stay in this file.
#include "imageio/video.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "engine/image.h"
#include "imageio/layout.h"

namespace {

constexpr int kDefaultMaxWidth = 3840;
constexpr int kMaxFps = 240;

// Frames of a night sky are mostly flat dark with fine bright detail, which at 18 still keeps
// the faintest trails that lower rates smear into the background.
constexpr double kCrf = 18;
// The run waits for each frame: x264's default "medium" takes about three times as long on a
// 3840-wide frame as combining one more photograph and holds more frames in memory, while
// its files at this rate came out no smaller.
constexpr const char* kPreset = "veryfast";

// x264 splits the work by frames, and how many it has in flight changes its decisions; a fixed
// count makes the same frames give the same file on every machine.
constexpr int kEncoderThreads = 2;

// Rows of a 64-bit frame rearranged at a time for the scaler, which takes them in slices.
constexpr int kStripRows = 32;

// Bicubic, widened by the scaler itself when it shrinks, so thin trails do not alias; chroma
// is computed from every pixel before it is subsampled.
constexpr int kScaleFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP;

// The libraries print through av_log; a codec of ours never prints, so their errors are kept
// for the message of the call that met them (encoders log the reason an open fails, and
// return only "Invalid argument"). Each thread keeps its own: the writer's calls run on one.
thread_local std::string lastLibraryError;

void keepLibraryError(void*, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR)
        return;
    char line[512];
    int printPrefix = 0;  // no "[libx264 @ 0x...]" in front
    av_log_format_line2(nullptr, level, format, arguments, line, sizeof line, &printPrefix);
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (!text.empty())
        lastLibraryError = std::move(text);
}

std::string libraryText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    std::string message = text;
    if (!lastLibraryError.empty())
        message += " (" + lastLibraryError + ")";
    return message;
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// What the caller sees when even the message cannot be had.
void setError(std::string& error, const char* text) noexcept {
    try {
        error = text;
    } catch (...) {
        error.clear();
    }
}

// Runs one of the public calls: whatever the standard library throws comes back as its text.
template <class Call>
bool guarded(std::string& error, Call call) noexcept {
    try {
        lastLibraryError.clear();
        return call();
    } catch (const std::bad_alloc&) {
        setError(error, "Not enough memory");
    } catch (const std::exception& exception) {
        setError(error, exception.what());
    } catch (...) {
        setError(error, "unexpected failure");
    }
    return false;
}

// Names what this FFmpeg could offer instead, so the user knows what the build lacks.
std::string missingEncoder() {
    std::string found;
    void* at = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&at)) {
        if (codec->id == AV_CODEC_ID_H264 && av_codec_is_encoder(codec) != 0)
            found += (found.empty() ? "" : ", ") + std::string(codec->name);
    }
    return "this FFmpeg has no libx264 to encode H.264 video (its H.264 encoders: " +
           (found.empty() ? std::string("none") : found) + ")";
}

struct FreeCodec {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
// Closes the file as it stands (the index is close()'s job) and frees the muxer.
struct FreeOutput {
    void operator()(AVFormatContext* output) const {
        avio_closep(&output->pb);
        avformat_free_context(output);
    }
};
struct FreeScaler {
    void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct FreeFrame {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct FreePacket {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace

struct VideoWriter::Encoder {
    std::string path;
    int width = 0;  // of the frames
    int height = 0;
    std::unique_ptr<AVFormatContext, FreeOutput> output;
    AVStream* stream = nullptr;  // owned by output
    std::unique_ptr<AVCodecContext, FreeCodec> codec;
    std::unique_ptr<SwsContext, FreeScaler> narrowScaler;  // from the 32-bit layout
    std::unique_ptr<SwsContext, FreeScaler> wideScaler;    // from 16-bit RGB strips
    std::unique_ptr<AVFrame, FreeFrame> picture;
    std::unique_ptr<AVPacket, FreePacket> packet;
    std::vector<uint16_t> strip;
    int frames = 0;
    // Set once the encoder or the file failed: the stream cannot go on.
    std::string failure;

    bool fail(const std::string& what, int code, std::string& error) {
        failure = what + libraryText(code);
        error = failure;
        return false;
    }

    bool start(const std::string& name, int frameWidth, int frameHeight,
               const VideoSettings& settings, std::string& error);
    bool add(const Image& frame, std::string& error);
    bool finish(std::string& error);
    int scaleWide(const Image& frame);
    bool encode(const AVFrame* frame, std::string& error);
};

bool VideoWriter::Encoder::start(const std::string& name, int frameWidth, int frameHeight,
                                 const VideoSettings& settings, std::string& error) {
    path = name;
    width = frameWidth;
    height = frameHeight;
    if (settings.fps < 1 || settings.fps > kMaxFps) {
        error = "the video's frame rate must be 1 to " + std::to_string(kMaxFps) +
                " per second, not " + std::to_string(settings.fps);
        return false;
    }
    if (settings.maxWidth < 0 || width <= 0 || height <= 0) {
        error = "no video of " + sizeText(width, height) + " frames at most " +
                std::to_string(settings.maxWidth) + " wide";
        return false;
    }
    // The height follows the width before either is made even, which keeps the picture's
    // proportions as closely as whole pixels can.
    const int scaledWidth =
        std::min(width, settings.maxWidth > 0 ? settings.maxWidth : kDefaultMaxWidth);
    const auto scaledHeight =
        static_cast<int>(std::llround(static_cast<double>(height) * scaledWidth / width));
    const int videoWidth = scaledWidth & ~1;
    const int videoHeight = scaledHeight & ~1;
    if (videoWidth < 2 || videoHeight < 2) {
        error = "frames of " + sizeText(width, height) + " make a video of " +
                sizeText(videoWidth, videoHeight) + ", less than the 2x2 that yuv420p needs";
        return false;
    }

    static std::once_flag logHandler;
    std::call_once(logHandler, [] { av_log_set_callback(keepLibraryError); });
    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    if (h264 == nullptr) {
        error = missingEncoder();
        return false;
    }

    AVFormatContext* muxer = nullptr;
    int result = avformat_alloc_output_context2(&muxer, nullptr, "mp4", path.c_str());
    if (result < 0)
        return fail("can't write MP4 files: ", result, error);
    output.reset(muxer);
    // No library version or time in the file: the same frames give the same bytes.
    output->flags |= AVFMT_FLAG_BITEXACT;
    stream = avformat_new_stream(muxer, nullptr);
    codec.reset(avcodec_alloc_context3(h264));
    picture.reset(av_frame_alloc());
    packet.reset(av_packet_alloc());
    if (stream == nullptr || !codec || !picture || !packet) {
        error = "Not enough memory";
        return false;
    }

    const int fps = settings.fps;
    codec->width = videoWidth;
    codec->height = videoHeight;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->time_base = AVRational{1, fps};
    codec->framerate = AVRational{fps, 1};
    // The scaler's matrix, declared so players undo it. The transfer is left unnamed: the
    // samples follow the run's own curve, which no tag describes.
    codec->colorspace = AVCOL_SPC_BT709;
    codec->color_range = AVCOL_RANGE_MPEG;
    codec->color_primaries = AVCOL_PRI_BT709;
    codec->thread_count = kEncoderThreads;
    if ((output->oformat->flags & AVFMT_GLOBALHEADER) != 0)
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(codec->priv_data, "preset", kPreset, 0);
    av_opt_set_double(codec->priv_data, "crf", kCrf, 0);
    // x264 holds a frame per step of its lookahead, and a 4K frame is 17 MB: a short one keeps
    // a long time-lapse within the memory a run is allowed.
    av_opt_set(codec->priv_data, "x264-params", "rc-lookahead=8", 0);
    result = avcodec_open2(codec.get(), h264, nullptr);
    if (result < 0)
        return fail("can't start the H.264 encoder for " + sizeText(videoWidth, videoHeight) + ": ",
                    result, error);
    result = avcodec_parameters_from_context(stream->codecpar, codec.get());
    if (result < 0)
        return fail("can't describe the video stream: ", result, error);
    stream->time_base = codec->time_base;
    stream->avg_frame_rate = codec->framerate;

    picture->format = codec->pix_fmt;
    picture->width = videoWidth;
    picture->height = videoHeight;
    result = av_frame_get_buffer(picture.get(), 0);
    if (result < 0)
        return fail("can't hold a video frame: ", result, error);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    for (auto [scaler, format] :
         {std::pair(&narrowScaler, AV_PIX_FMT_0RGB), std::pair(&wideScaler, AV_PIX_FMT_RGB48)}) {
        scaler->reset(sws_getContext(width, height, format, videoWidth, videoHeight,
                                     AV_PIX_FMT_YUV420P, kScaleFlags, nullptr, nullptr, nullptr));
        if (!*scaler) {
            error = "can't scale frames of " + sizeText(width, height) + " to " +
                    sizeText(videoWidth, videoHeight);
            return false;
        }
        // RGB is full range; the video gets the limited range players expect of H.264.
        sws_setColorspaceDetails(scaler->get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    }

    // Named as a file, so that nothing in the name is taken for another protocol ("pipe:").
    result = avio_open(&output->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (result < 0)
        return fail("can't create " + path + ": ", result, error);
    result = avformat_write_header(muxer, nullptr);
    if (result < 0) {
        fail("can't write " + path + ": ", result, error);
        output.reset();
        std::remove(path.c_str());
        return false;
    }
    return true;
}

// The scaler has no 16-bit layout with the filler first, so rows go to it as packed RGB.
int VideoWriter::Encoder::scaleWide(const Image& frame) {
    const std::size_t rowSamples = 3 * static_cast<std::size_t>(width);
    strip.resize(rowSamples * kStripRows);
    const uint8_t* pixels = pixelData(frame);
    const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(strip.data())};
    const int strides[1] = {static_cast<int>(rowSamples * 2)};
    for (int top = 0; top < height; top += kStripRows) {
        const int rows = std::min(kStripRows, height - top);
        for (int y = 0; y < rows; ++y) {
            const auto* in =
                reinterpret_cast<const uint16_t*>(pixels + (top + y) * frame.bytesPerLine);
            uint16_t* out = strip.data() + y * rowSamples;
            for (int x = 0; x < width; ++x, in += 4, out += 3)
                std::copy(in + 1, in + 4, out);
        }
        const int result = sws_scale(wideScaler.get(), planes, strides, top, rows, picture->data,
                                     picture->linesize);
        if (result < 0)
            return result;
    }
    return 0;
}

// Gives the encoder a frame (nullptr: the end) and writes what it has ready.
bool VideoWriter::Encoder::encode(const AVFrame* frame, std::string& error) {
    int result = avcodec_send_frame(codec.get(), frame);
    if (result < 0)
        return fail("can't encode " + path + ": ", result, error);
    while ((result = avcodec_receive_packet(codec.get(), packet.get())) >= 0) {
        av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        result = av_interleaved_write_frame(output.get(), packet.get());
        if (result < 0)
            return fail("can't write " + path + ": ", result, error);
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF)
        return fail("can't encode " + path + ": ", result, error);
    return true;
}

bool VideoWriter::Encoder::add(const Image& frame, std::string& error) {
    if (!failure.empty()) {
        error = failure;
        return false;
    }
    const bool wide = frame.bitsPerPixel == 64;
    if ((frame.bitsPerPixel != 32 && !wide) || !writableLayout(frame) ||
        frame.bytesPerLine > INT32_MAX) {
        error = "a video frame must be in the 32- or 64-bit layout";
        return false;
    }
    if (frame.width != width || frame.height != height) {
        error = "a frame of " + sizeText(frame.width, frame.height) + " does not fit " + path +
                ", which takes " + sizeText(width, height);
        return false;
    }
    // The encoder may still hold the last frame's buffer.
    int result = av_frame_make_writable(picture.get());
    if (result < 0)
        return fail("can't hold a video frame: ", result, error);
    if (wide) {
        result = scaleWide(frame);
    } else {
        const uint8_t* planes[1] = {pixelData(frame)};
        const int strides[1] = {static_cast<int>(frame.bytesPerLine)};
        result = sws_scale(narrowScaler.get(), planes, strides, 0, height, picture->data,
                           picture->linesize);
    }
    if (result < 0)
        return fail("can't scale a video frame: ", result, error);
    picture->pts = frames;
    if (!encode(picture.get(), error))
        return false;
    ++frames;
    return true;
}

bool VideoWriter::Encoder::finish(std::string& error) {
    if (frames == 0) {
        // A file without a picture plays as nothing at all; better none.
        output.reset();
        std::remove(path.c_str());
        if (!failure.empty())
            error = failure;
        return failure.empty();
    }
    // After a failure the index is still written, in case the file can take it: what was
    // encoded then plays.
    bool written = failure.empty() && encode(nullptr, error);
    const int result = av_write_trailer(output.get());
    if (result < 0 && written)
        written = fail("can't write " + path + ": ", result, error);
    const int closed = output->pb->error < 0 ? output->pb->error : avio_closep(&output->pb);
    if (closed < 0 && written)
        written = fail("can't write " + path + ": ", closed, error);
    if (!failure.empty())
        error = failure;
    return written;
}

VideoWriter::VideoWriter() = default;

VideoWriter::~VideoWriter() {
    std::string ignored;
    close(ignored);
}

bool VideoWriter::open(const std::string& path, int width, int height,
                       const VideoSettings& settings, std::string& error) {
    return guarded(error, [&] {
        if (encoder_) {
            error = "a video is open already: " + encoder_->path;
            return false;
        }
        frames_ = 0;
        auto encoder = std::make_unique<Encoder>();
        if (!encoder->start(path, width, height, settings, error))
            return false;
        encoder_ = std::move(encoder);
        return true;
    });
}

bool VideoWriter::addFrame(const Image& frame, std::string& error) {
    return guarded(error, [&] {
        if (!encoder_) {
            error = "no video is open";
            return false;
        }
        if (!encoder_->add(frame, error))
            return false;
        frames_ = encoder_->frames;
        return true;
    });
}

bool VideoWriter::close(std::string& error) {
    return guarded(error, [&] {
        // Closed whatever happens: a failed close leaves nothing to try again.
        const std::unique_ptr<Encoder> encoder = std::move(encoder_);
        return !encoder || encoder->finish(error);
    });
}

int VideoWriter::framesWritten() const {
    return frames_;
}
