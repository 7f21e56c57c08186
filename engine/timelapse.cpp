#include "engine/timelapse.h"

#include <utility>

TimelapseQueue::TimelapseQueue(TimelapseHandler handler)
    : handler_(handler), writer_([this] { writerLoop(); }) {}

TimelapseQueue::~TimelapseQueue() {
    finish();
}

void TimelapseQueue::push(Image frame, int number, const OutputFacts& facts) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kQueued; });
    waiting_.push_back(Item{frame, number, facts});
    changed_.notify_all();
}

void TimelapseQueue::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        changed_.notify_all();
    }
    if (writer_.joinable())
        writer_.join();
}

void TimelapseQueue::writerLoop() {
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !waiting_.empty() || closing_; });
        if (waiting_.empty())
            break;
        Item item = std::move(waiting_.front());
        waiting_.pop_front();
        changed_.notify_all();
        lock.unlock();
        handler_(&item.frame, item.number, item.facts);
        freePixels(item.frame.pixels);
    }
    handler_(nullptr, 0, OutputFacts());
}
