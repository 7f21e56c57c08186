// The result so far, small, for a window that shows a run as it goes.
//
// A PreviewFeed attached to a run's context takes, between batches, a shrunk copy of the
// accumulator (Accumulator::shrunk, to the size the window asked for) and hands it to a thread
// of its own, which finalises it into the 32-bit layout (filler 255) with the run's curve and
// divisor and passes that picture to the receiver. The run never waits for the window: a copy
// is taken kInterval seconds after the run starts or the last copy at the earliest, and never
// sooner than kCostRatio times what the last one took; a copy the thread has not begun is
// replaced by a newer one. The receiver runs on the feed's thread and must not wait for
// whoever stops the feed. Nothing is reported: a picture that cannot be had is left out.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/combine.h"
#include "engine/run.h"
#include "engine/stack.h"

class PreviewFeed {
  public:
    static constexpr double kInterval = 0.5;
    // The copy on the run's thread, and about as much again for finalising it on the feed's:
    // at most 2.5 % of the run's time.
    static constexpr double kCostRatio = 80.0;
    // Larger pictures than this are never made, whatever the window's size.
    static constexpr int kLargest = 2048;

    // The picture's pixels stay the feed's; combined: the images it holds (0 for a file).
    using Receiver = std::function<void(const Image& picture, int combined)>;
    // Seconds on a steady clock (tests pass their own).
    using Clock = std::function<double()>;

    explicit PreviewFeed(Receiver receiver, Clock clock = {});
    ~PreviewFeed();  // stop()
    PreviewFeed(const PreviewFeed&) = delete;
    PreviewFeed& operator=(const PreviewFeed&) = delete;

    // The largest picture wanted, in pixels (capped at kLargest); 0 wants none, and the run
    // then takes no copies. Any thread.
    void setTargetSize(int width, int height);
    // Installs the feed as context's afterBatch for a run that starts now; the feed keeps a
    // copy of the context for finalising and must outlive the run.
    void attach(RunContext& context);
    // What afterBatch does: takes a copy of sums when one is due.
    void offer(const Accumulator& sums, int combined);
    // Loads path with reader on the feed's thread and shows it as the last attached run would
    // show its own sums (a run's output looks as its last copy would have); nothing while no
    // picture is wanted.
    void showFile(const std::string& path, ImageReader reader);
    // Drops what waits, lets a picture being made finish, and ends the thread.
    void stop();

  private:
    struct Job {
        std::optional<Accumulator> sums;  // or a file to load
        std::string file;
        ImageReader reader = nullptr;
        int combined = 0;
        std::shared_ptr<const RunContext> context;
    };
    void work();
    void make(Job& job);
    double now() const;

    Receiver receiver_;
    Clock clock_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Job> waiting_;
    bool stopping_ = false;
    int width_ = 0;
    int height_ = 0;
    // The attached run's context and its copies' pace; the run's thread alone offers.
    std::shared_ptr<const RunContext> context_;
    double lastCopy_ = 0.0;
    double lastCost_ = 0.0;
    std::thread thread_;
};
