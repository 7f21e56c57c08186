// Loading the run's inputs ahead, on other threads, while the current ones are combined.
//
// Loads happen in argument order; each one's messages are held back and handed over with its
// image, so the run can show them when it reaches that file. At most framesAllowed images are
// alive at once (loaded, or being loaded, and not yet released by the run).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/stack.h"

class Prefetcher {
  public:
    struct Loaded {
        Image image;
        int result = -1;
        std::vector<DeferredMessage> messages;
        bool refusedForReserve = false;  // refused only because the reserve came on top
    };

    // threads 0: every load happens in take(), on the caller's thread, messages shown at once.
    // Each load starts with the image reserve (see setImageReserve) imageReserve holds then.
    Prefetcher(std::vector<int> order, const std::vector<std::string>& arguments,
               ImageReader reader, int threads, int framesAllowed,
               const std::atomic<int64_t>* imageReserve = nullptr);
    ~Prefetcher();
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;

    // The next image in order; waits for it. Ownership of the pixels passes to the caller.
    Loaded take();
    // The caller has freed one taken image; another may be loaded in its place.
    void release();

  private:
    struct Slot {
        Loaded loaded;
        bool done = false;
    };
    void decodeLoop();
    void load(std::size_t position);

    std::vector<int> order_;
    const std::vector<std::string>& arguments_;
    ImageReader reader_;
    const std::atomic<int64_t>* imageReserve_;
    int framesAllowed_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t nextClaim_ = 0;
    std::size_t nextTake_ = 0;
    int framesInUse_ = 0;
    bool cancelled_ = false;
};
