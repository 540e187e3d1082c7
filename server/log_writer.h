#ifndef RU_SERVER_LOG_WRITER_H
#define RU_SERVER_LOG_WRITER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ru {

// Writes lines to a file descriptor (standard output) from a thread of its own, so that a
// reader who stops reading (a full pipe, a paused terminal) never holds up the caller.
// Lines wait in a queue bounded by `maxQueuedBytes`; a line that does not fit is dropped
// and counted, and the next line that fits is preceded by "ru-server: N log lines dropped".
// Lines keep their order. Thread safety: line() may be called from any thread.
class LogWriter {
  public:
    explicit LogWriter(int fd, std::size_t maxQueuedBytes = 1 << 20);
    // Calls finish() with a short grace period.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Queues `text` and a line end; never blocks on the descriptor.
    void line(std::string text);

    // Writes what is queued (and a last count of dropped lines), waiting at most `grace`
    // for the reader. Returns false when the reader did not take it all in time: the
    // writer thread is then left blocked, detached, and goes with the process.
    bool finish(std::chrono::milliseconds grace);

    // The lines dropped since the start; from any thread, without waiting.
    std::uint64_t droppedEver() const { return droppedEver_.load(std::memory_order_relaxed); }

  private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::string> queue;  // each with its line end
        std::size_t queuedBytes = 0;
        std::size_t dropped = 0;
        bool finishing = false;
        bool idle = true;  // the writer holds no line
    };
    static void run(std::shared_ptr<State> state, int fd);

    int fd_;
    std::size_t maxQueuedBytes_;
    std::shared_ptr<State> state_;
    std::atomic<std::uint64_t> droppedEver_{0};
    std::thread thread_;
};

}  // namespace ru

#endif
