#ifndef RU_SERVER_KEY_PRUNER_H
#define RU_SERVER_KEY_PRUNER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "store.h"

namespace ru {

// Forgets the idempotency keys older than `keep`, on a thread of its own: once at the
// start and then every `interval`, in batches of `batch` keys, each its own short
// transaction, so that an upload never waits for more than one batch. A failed batch is
// reported to `log` (may be empty) and tried again at the next round. `store` must
// outlive the pruner; the destructor stops and joins the thread.
class KeyPruner {
  public:
    KeyPruner(Store& store, std::chrono::seconds keep, std::chrono::milliseconds interval,
              std::size_t batch = 500, std::function<void(std::string)> log = {});
    ~KeyPruner();
    KeyPruner(const KeyPruner&) = delete;
    KeyPruner& operator=(const KeyPruner&) = delete;

  private:
    void run();

    Store& store_;
    const std::chrono::seconds keep_;
    const std::chrono::milliseconds interval_;
    const std::size_t batch_;
    std::function<void(std::string)> log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once everything above is set
};

}  // namespace ru

#endif
