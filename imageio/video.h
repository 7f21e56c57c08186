// Time-lapse video: a run's frames encoded as H.264 in an MP4 file, through FFmpeg's libraries
// (libx264 for the encoding).
//
// Frames are Images in the 32-bit layout ([filler, R, G, B] bytes) or the 64-bit layout (the
// same in 16-bit samples, host order), all of the size given to open; rows bytesPerLine apart.
// Samples are taken as the picture's own encoding, as the image writers take them: they become
// yuv420p (BT.709 matrix, limited range), scaled (never cropped) to the video's size. The file
// is written as frames come, straight to its path, so a run can stop at any frame and close()
// leaves a playable file.
//
// Errors: false with a message in error, FFmpeg's own text for what the libraries refuse;
// nothing goes to the message channels and nothing is thrown. The first open installs a
// process-wide FFmpeg log handler that keeps the libraries from printing.
#pragma once

#include <memory>
#include <string>

#include "engine/image.h"

struct VideoSettings {
    int fps = 25;      // frames per second, 1..240
    int maxWidth = 0;  // 0: the frame width, at most 3840
};

// One video file at a time; the destructor closes (finishes) one left open, ignoring failures.
class VideoWriter {
  public:
    VideoWriter();
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Creates path (an MP4 file; an existing one is replaced) for frames of width x height. The
    // video is as wide as the frames, but at most maxWidth (or 3840), as high as keeps their
    // proportions, both rounded down to even; at least 2 x 2. Fails while a video is open.
    bool open(const std::string& path, int width, int height, const VideoSettings& settings,
              std::string& error);
    // Encodes one frame. A frame of the wrong layout or size is refused and the video goes
    // on; after a failure of the encoder or the file, every call fails with its message.
    bool addFrame(const Image& frame, std::string& error);
    // Flushes the encoder and writes the index: the file plays every frame added. Without a
    // frame there is no video, and the file open created is removed. Nothing open: true.
    bool close(std::string& error);
    // Frames the encoder has taken since the last open, still counted after close (then all
    // of them are in the file).
    int framesWritten() const;

  private:
    struct Encoder;
    std::unique_ptr<Encoder> encoder_;
    int frames_ = 0;
};
