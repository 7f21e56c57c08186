#include "engine/preview.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "engine/messages.h"

PreviewFeed::PreviewFeed(Receiver receiver, Clock clock)
    : receiver_(std::move(receiver)), clock_(std::move(clock)), thread_([this] { work(); }) {}

PreviewFeed::~PreviewFeed() {
    stop();
}

double PreviewFeed::now() const {
    if (clock_)
        return clock_();
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void PreviewFeed::setTargetSize(int width, int height) {
    std::lock_guard<std::mutex> lock(mutex_);
    width_ = std::clamp(width, 0, kLargest);
    height_ = std::clamp(height, 0, kLargest);
}

void PreviewFeed::attach(RunContext& context) {
    auto kept = std::make_shared<RunContext>(context);
    kept->afterBatch = nullptr;  // the copy must not hold the feed
    {
        std::lock_guard<std::mutex> lock(mutex_);
        context_ = std::move(kept);
        // The start counts as a hand-over: a run shorter than kInterval takes no copy at all.
        lastCopy_ = now();
        lastCost_ = 0.0;
    }
    context.afterBatch = [this](const Accumulator& sums, int combined) { offer(sums, combined); };
}

void PreviewFeed::offer(const Accumulator& sums, int combined) {
    Job job;
    int width = 0, height = 0;
    const double start = now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const double since = start - lastCopy_;
        const bool due = since >= kInterval && since >= kCostRatio * lastCost_;
        if (stopping_ || !due || width_ == 0 || height_ == 0 || context_ == nullptr)
            return;
        width = width_;
        height = height_;
        job.context = context_;
    }
    job.sums = sums.shrunk(width, height, job.context->mode == MODE_BRIGHTEN);
    job.combined = combined;
    const double end = now();
    std::optional<Job> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastCopy_ = end;
        lastCost_ = end - start;
        if (!job.sums || stopping_)
            return;
        replaced = std::exchange(waiting_, std::move(job));
    }
    changed_.notify_all();
    // An older copy the thread never began goes here, outside the lock.
}

void PreviewFeed::showFile(const std::string& path, ImageReader reader) {
    std::optional<Job> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || context_ == nullptr)
            return;
        Job job;
        job.file = path;
        job.reader = reader;
        job.context = context_;
        replaced = std::exchange(waiting_, std::move(job));
    }
    changed_.notify_all();
}

void PreviewFeed::stop() {
    std::optional<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        dropped = std::exchange(waiting_, std::nullopt);
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PreviewFeed::work() {
    // Whatever loading the output says (it was written a moment ago) is not for the user.
    std::vector<DeferredMessage> unheard;
    deferMessages(&unheard);
    for (;;) {
        std::optional<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || waiting_.has_value(); });
            if (stopping_)
                break;
            job = std::exchange(waiting_, std::nullopt);
        }
        make(*job);
        unheard.clear();
    }
    deferMessages(nullptr);
}

void PreviewFeed::make(Job& job) {
    const RunContext& context = *job.context;
    double divisor = modeDivisor(context, job.combined);
    if (job.reader != nullptr) {
        int width = 0, height = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            width = width_;
            height = height_;
        }
        if (width == 0 || height == 0)
            return;  // nobody to show it to
        Image loaded;
        if (job.reader(loaded, job.file.c_str()) != 0 ||
            (loaded.bitsPerPixel != 32 && loaded.bitsPerPixel != 64)) {
            freePixels(loaded.pixels);
            return;
        }
        // The file's levels back into linear light through the run's curve, folded once
        // into empty sums; the same curve encodes them again, so the picture shows the
        // file's own levels, shrunk as the run's copies were.
        RunContext plain = context;
        plain.mode = MODE_STACK;
        plain.options.low_pass_threshold = 0;
        plain.options.high_pass_threshold = 255;
        plain.cometFade = 1.0;
        std::optional<Accumulator> sums = Accumulator::create(loaded);
        if (sums) {
            Image* inputs[] = {&loaded};
            sums->fold(plain, inputs, 1, nullptr);
        }
        freePixels(loaded.pixels);
        if (!sums)
            return;
        job.sums = sums->shrunk(width, height, context.mode == MODE_BRIGHTEN);
        if (!job.sums)
            return;
        divisor = 1.0;
    }
    Image picture = job.sums->finalize(context.curve, divisor);
    job.sums.reset();
    if (picture.pixels != nullptr)
        receiver_(picture, job.combined);
    freePixels(picture.pixels);
}
