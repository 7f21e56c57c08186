#include "engine/prefetch.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "engine/options.h"

namespace {

// How often a waiting run looks at the stop request: well inside the second a stop may take.
constexpr std::chrono::milliseconds kStopPoll{25};

}  // namespace

// Everything a loader reads or writes. The Prefetcher, each loader thread and each frame hold
// it, so a loader still inside a file when the run ends writes into this, never into the run.
struct Prefetcher::Shared {
    struct Slot {
        Image image;
        int result = -1;
        std::vector<DeferredMessage> messages;
        bool done = false;
        bool notTheFilesFault = false;  // failed ahead for want of descriptors or memory
        bool retried = false;
    };

    Shared(std::vector<std::string> files, ImageReader read, bool loaders)
        : paths(std::move(files)), reader(read), parallel(loaders), slots(paths.size()) {}

    // Loads one file outside the lock; the outcome is not yet in its slot.
    Slot load(std::size_t position) {
        Slot outcome;
        initImage(outcome.image);
        deferMessages(&outcome.messages);
        errno = 0;
        outcome.result = reader(outcome.image, paths[position].c_str());
        const int error = errno;
        deferMessages(nullptr);
        if (outcome.result != 0) {
            // Whatever the codec left behind, a failed load holds no pixels.
            freePixels(outcome.image.pixels);
            outcome.image.pixels = nullptr;
        }
        // Files opened ahead compete for the process's descriptors and memory; losing that
        // race says nothing about the file.
        outcome.notTheFilesFault = parallel && outcome.result != 0 &&
                                   (error == EMFILE || error == ENFILE || error == ENOMEM);
        return outcome;
    }

    // Under the lock: puts an outcome in its slot, or frees it when the run has gone.
    void store(std::size_t position, Slot&& outcome) {
        if (cancelled) {
            freePixels(outcome.image.pixels);
            --framesInUse;
            return;
        }
        Slot& slot = slots[position];
        const bool retried = slot.retried;
        slot = std::move(outcome);
        slot.retried = retried;
        slot.done = true;
    }

    void returnFrame() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            --framesInUse;
        }
        changed.notify_all();
    }

    const std::vector<std::string> paths;
    const ImageReader reader;
    const bool parallel;
    std::vector<Slot> slots;

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t nextClaim = 0;
    std::size_t claimLimit = 0;  // files from here on wait until take() asks
    bool ahead = false;          // startAhead() was called
    int framesAllowed = 1;
    std::deque<std::size_t> reloads;  // files take() wants loaded once more
    std::vector<bool> loading;        // per loader: inside a file now
    int busyLoaders = 0;
    int framesInUse = 0;
    bool cancelled = false;
};

Prefetcher::Frame::Frame(Frame&& other) noexcept
    : image(other.image), budget_(std::move(other.budget_)) {
    other.image.pixels = nullptr;
}

Prefetcher::Frame& Prefetcher::Frame::operator=(Frame&& other) noexcept {
    if (this != &other) {
        reset();
        image = other.image;
        budget_ = std::move(other.budget_);
        other.image.pixels = nullptr;
    }
    return *this;
}

void Prefetcher::Frame::reset() {
    // Freed before the place is handed back, so a loader that starts on it can reuse the
    // memory instead of mapping more.
    freePixels(image.pixels);
    image.pixels = nullptr;
    if (budget_) {
        budget_->returnFrame();
        budget_.reset();
    }
}

Prefetcher::Prefetcher(std::vector<std::string> paths, ImageReader reader, int threads)
    : shared_(std::make_shared<Shared>(std::move(paths), reader, threads > 0)) {
    const int count = threads > 0 ? threads : 1;
    shared_->loading.assign(static_cast<std::size_t>(count), false);
    for (int t = 0; t < count; ++t) {
        try {
            threads_.emplace_back(
                [shared = shared_, t] { loaderLoop(shared, static_cast<std::size_t>(t)); });
        } catch (...) {
            break;  // fewer loaders (or none: take() then loads by itself)
        }
    }
}

Prefetcher::~Prefetcher() {
    Shared& s = *shared_;
    std::vector<bool> loading;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        s.cancelled = true;
        // Images loaded ahead but never reached are dropped unseen, messages and all.
        for (std::size_t i = nextTake_; i < s.slots.size(); ++i) {
            if (s.slots[i].done) {
                freePixels(s.slots[i].image.pixels);
                s.slots[i].image.pixels = nullptr;
            }
        }
        s.changed.notify_all();
        while (s.busyLoaders > 0 && stopRequest.load() != 1)
            s.changed.wait_for(lock, kStopPoll);
        loading = s.loading;
    }
    for (std::size_t t = 0; t < threads_.size(); ++t) {
        if (loading[t]) {
            threads_[t].detach();
        } else {
            threads_[t].join();
        }
    }
}

void Prefetcher::startAhead(int framesAllowed) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->framesAllowed = framesAllowed < 1 ? 1 : framesAllowed;
        if (shared_->parallel) {
            shared_->ahead = true;
            shared_->claimLimit = shared_->paths.size();
        }
    }
    shared_->changed.notify_all();
}

void Prefetcher::loaderLoop(const std::shared_ptr<Shared>& shared, std::size_t self) {
    Shared& s = *shared;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        // A frame is reserved before a file is claimed, so the earliest file still to be
        // loaded always has its frame and the run can never wait on a file that cannot start;
        // a file the run asks for in order goes whatever the budget says. A file loaded again
        // goes alone, with every descriptor and byte the loads ahead held.
        s.changed.wait(lock, [&s] {
            return s.cancelled || (!s.reloads.empty() && s.busyLoaders == 0) ||
                   (s.reloads.empty() && s.nextClaim < s.claimLimit &&
                    (s.framesInUse < s.framesAllowed || !s.ahead));
        });
        if (s.cancelled)
            return;
        std::size_t position;
        if (!s.reloads.empty()) {
            position = s.reloads.front();
            s.reloads.pop_front();
        } else {
            ++s.framesInUse;
            position = s.nextClaim++;
        }
        s.loading[self] = true;
        ++s.busyLoaders;
        lock.unlock();
        Shared::Slot outcome = s.load(position);
        lock.lock();
        s.store(position, std::move(outcome));
        s.loading[self] = false;
        --s.busyLoaders;
        s.changed.notify_all();
    }
}

Prefetcher::Loaded Prefetcher::take() {
    Loaded taken;
    Shared& s = *shared_;
    if (nextTake_ >= s.slots.size())
        return taken;
    const std::size_t position = nextTake_;
    Shared::Slot& slot = s.slots[position];
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.claimLimit <= position) {
        s.claimLimit = position + 1;
        s.changed.notify_all();
    }
    for (;;) {
        if (!slot.done && threads_.empty()) {
            ++s.framesInUse;
            ++s.nextClaim;
            lock.unlock();
            Shared::Slot outcome = s.load(position);
            lock.lock();
            s.store(position, std::move(outcome));
        }
        while (!slot.done) {
            if (stopRequest.load() == 1) {
                taken.stopped = true;
                return taken;
            }
            s.changed.wait_for(lock, kStopPoll);
        }
        if (slot.retried || !slot.notTheFilesFault)
            break;
        // Only such a file is opened twice: others may be pipes or change on disk.
        slot.retried = true;
        slot.done = false;
        slot.messages.clear();
        if (threads_.empty()) {
            --s.framesInUse;
            --s.nextClaim;
        } else {
            s.reloads.push_back(position);
            s.changed.notify_all();
        }
    }
    taken.frame.image = slot.image;
    taken.frame.budget_ = shared_;
    taken.result = slot.result;
    taken.messages = std::move(slot.messages);
    slot.image.pixels = nullptr;
    ++nextTake_;
    return taken;
}
