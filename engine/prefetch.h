// Loading the run's inputs on loader threads, handed out as move-only frames.
//
// Loads happen in input order. Until startAhead() a file is loaded only when take() asks for
// it; afterwards loaders run ahead while at most framesAllowed frames are alive (loaded, or
// being loaded, and not yet destroyed by the run). Each load's messages are held back and
// handed over with its frame, so the run can show them when it reaches that file. A failed
// load holds no pixels, whatever the reader left.
//
// The run waits for a load with the stop request in view, so a file that never answers (a
// pipe nobody writes to, a hung network share) cannot hold up a stop. Its loader is left
// behind, not waited for: everything a loader writes lives in state it shares with the
// Prefetcher, and one that wakes after the Prefetcher has gone frees what it loaded and keeps
// its messages to itself.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/image.h"
#include "engine/messages.h"
#include "engine/stack.h"

class Prefetcher {
    struct Shared;

  public:
    // One loaded image and its place in the budget: destroying it frees the pixels, then
    // gives the place to the next load.
    class Frame {
      public:
        Frame() { initImage(image); }
        ~Frame() { reset(); }
        Frame(Frame&& other) noexcept;
        Frame& operator=(Frame&& other) noexcept;
        Frame(const Frame&) = delete;
        Frame& operator=(const Frame&) = delete;
        void reset();

        Image image;

      private:
        friend class Prefetcher;
        std::shared_ptr<Shared> budget_;
    };

    struct Loaded {
        Frame frame;
        int result = -1;
        std::vector<DeferredMessage> messages;
        bool stopped = false;  // stopRequest was set while take() waited; nothing was loaded
    };

    // paths in the order take() hands them out. threads 0: one loader that starts a file only
    // when take() asks for it, even after startAhead() (a sequential run).
    Prefetcher(std::vector<std::string> paths, ImageReader reader, int threads);
    // Waits for loaders still in a file unless a stop is requested; those are then left behind.
    ~Prefetcher();
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;

    // Lets loaders run ahead with at most framesAllowed frames alive.
    void startAhead(int framesAllowed);
    // The next image in order, or stopped. A file that failed ahead for a shortage of the
    // process's (file descriptors, memory) is loaded once more in order first, alone, with the
    // messages of the failed attempt dropped.
    Loaded take();

  private:
    static void loaderLoop(const std::shared_ptr<Shared>& shared, std::size_t self);

    std::shared_ptr<Shared> shared_;
    std::vector<std::thread> threads_;
    std::size_t nextTake_ = 0;
};
