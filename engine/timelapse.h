// Time-lapse frames of a run: the result so far, handed to a writer on a thread of its own.
//
// The run finalises a frame between batches and pushes it; the writer thread passes each to
// the handler the front end installed (which writes image files, feeds a video, or both), in
// order. At most kQueued frames wait, so a writer slower than the run holds the run back
// instead of filling the memory. finish() lets the queued frames be written, then calls the
// handler once more without a frame (close what is open) and waits for it.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "engine/stack.h"

class TimelapseQueue {
  public:
    static constexpr std::size_t kQueued = 2;

    explicit TimelapseQueue(TimelapseHandler handler);
    ~TimelapseQueue();  // finish()
    TimelapseQueue(const TimelapseQueue&) = delete;
    TimelapseQueue& operator=(const TimelapseQueue&) = delete;

    // Takes the frame's pixels; waits while kQueued frames are waiting.
    void push(Image frame, int number, const OutputFacts& facts);
    void finish();

  private:
    struct Item {
        Image frame;
        int number;
        OutputFacts facts;
    };
    void writerLoop();

    TimelapseHandler handler_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> waiting_;
    bool closing_ = false;
    std::thread writer_;
};
