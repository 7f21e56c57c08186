#include "engine/prefetch.h"

Prefetcher::Prefetcher(std::vector<int> order, const std::vector<std::string>& arguments,
                       ImageReader reader, int threads, int framesAllowed,
                       const std::atomic<int64_t>* imageReserve)
    : order_(std::move(order)),
      arguments_(arguments),
      reader_(reader),
      imageReserve_(imageReserve),
      framesAllowed_(framesAllowed < 1 ? 1 : framesAllowed) {
    slots_.reserve(order_.size());
    for (std::size_t i = 0; i < order_.size(); ++i)
        slots_.push_back(std::make_unique<Slot>());
    for (int t = 0; t < threads; ++t) {
        try {
            threads_.emplace_back([this] { decodeLoop(); });
        } catch (...) {
            break;  // fewer helpers (or none: take() then loads by itself)
        }
    }
}

Prefetcher::~Prefetcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_)
        thread.join();
    // Images loaded ahead but never reached are dropped unseen, messages and all.
    for (std::size_t i = nextTake_; i < slots_.size(); ++i)
        freePixels(slots_[i]->loaded.image.pixels);
}

void Prefetcher::decodeLoop() {
    for (;;) {
        std::size_t position;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // A frame is reserved before a file is claimed, so the earliest file still to be
            // loaded always has its frame and the run can never wait on a file that cannot
            // start.
            changed_.wait(lock, [this] {
                return cancelled_ || nextClaim_ >= order_.size() || framesInUse_ < framesAllowed_;
            });
            if (cancelled_ || nextClaim_ >= order_.size())
                return;
            ++framesInUse_;
            position = nextClaim_++;
        }
        Slot& slot = *slots_[position];
        deferMessages(&slot.loaded.messages);
        load(position);
        deferMessages(nullptr);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.done = true;
        }
        changed_.notify_all();
    }
}

void Prefetcher::load(std::size_t position) {
    Loaded& loaded = slots_[position]->loaded;
    initImage(loaded.image);
    setImageReserve(imageReserve_ != nullptr ? imageReserve_->load() : 0);
    loaded.result = reader_(loaded.image, arguments_[order_[position]].c_str());
    loaded.refusedForReserve = loaded.result != 0 && refusedForImageReserve();
    setImageReserve(0);
}

Prefetcher::Loaded Prefetcher::take() {
    Loaded taken;
    if (nextTake_ >= slots_.size())
        return taken;
    Slot& slot = *slots_[nextTake_];
    if (threads_.empty()) {
        load(nextTake_);
    } else {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&slot] { return slot.done; });
    }
    taken = std::move(slot.loaded);
    slot.loaded.image.pixels = nullptr;
    ++nextTake_;
    return taken;
}

void Prefetcher::release() {
    if (threads_.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --framesInUse_;
    }
    changed_.notify_all();
}
