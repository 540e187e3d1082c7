#include "key_pruner.h"

#include <ctime>
#include <utility>

namespace ru {

KeyPruner::KeyPruner(Store& store, std::chrono::seconds keep, std::chrono::milliseconds interval,
                     std::size_t batch, std::function<void(std::string)> log)
    : store_(store),
      keep_(keep),
      interval_(interval),
      batch_(batch),
      log_(std::move(log)),
      thread_([this] { run(); }) {}

KeyPruner::~KeyPruner() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void KeyPruner::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const std::int64_t cutoff = static_cast<std::int64_t>(std::time(nullptr)) - keep_.count();
        // The lock is let go between batches, so that a stop never waits for a long prune.
        lock.unlock();
        try {
            while (store_.pruneKeys(cutoff, batch_) == batch_) {
                std::lock_guard<std::mutex> check(mutex_);
                if (stopping_) {
                    break;
                }
            }
        } catch (const StoreError& e) {
            if (log_) {
                log_(std::string("pruning idempotency keys: ") + e.what());
            }
        }
        lock.lock();
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

}  // namespace ru
