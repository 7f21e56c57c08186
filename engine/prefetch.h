// Loading the run's inputs on loader threads, ahead of the run when it may.
//
// Loads happen in input order; each one's messages are held back and handed over with its
// image, so the run can show them when it reaches that file. At most framesAllowed images are
// alive at once (loaded, or being loaded, and not yet released by the run).
//
// The run waits for a load with the stop request in view, so a file that never answers (a
// pipe nobody writes to, a hung network share) cannot hold up a stop. Its loader is left
// behind, not waited for: everything a loader writes lives in state it shares with the
// Prefetcher, and one that wakes after the Prefetcher has gone frees what it loaded and keeps
// its messages to itself.
#pragma once

#include <cstdint>
#include <memory>
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
        bool stopped = false;  // stopRequest was set while take() waited; nothing was loaded
    };

    // paths in the order take() hands them out. threads 0: one loader that starts a file only
    // when take() asks for it (a sequential run). Loads start with imageReserve as the image
    // reserve (see setImageReserve) until dropImageReserve().
    Prefetcher(std::vector<std::string> paths, ImageReader reader, int threads, int framesAllowed,
               int64_t imageReserve = 0);
    // Waits for loaders still in a file unless a stop is requested; those are then left behind.
    ~Prefetcher();
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;

    // The next image in order, or stopped. Ownership of the pixels passes to the caller.
    // A file refused ahead for the reserve that is gone now, or that failed ahead for a
    // shortage of the process's (file descriptors, memory), is loaded once more in order
    // first, alone, with the messages of the failed attempt dropped.
    Loaded take();
    // The caller has freed one taken image; another may be loaded in its place.
    void release();
    // The run has its accumulator: no later load needs the reserve.
    void dropImageReserve();

  private:
    struct Shared;
    static void loaderLoop(const std::shared_ptr<Shared>& shared, std::size_t self);

    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
    std::size_t nextTake_ = 0;
};
