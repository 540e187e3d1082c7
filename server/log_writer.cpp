#include "log_writer.h"

#include <unistd.h>

#include <cerrno>

namespace ru {

namespace {

std::string droppedLine(std::size_t dropped) {
    return "ru-server: " + std::to_string(dropped) + " log lines dropped\n";
}

// Writes all of `text`; false once the descriptor fails (a reader gone for good).
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

LogWriter::LogWriter(int fd, std::size_t maxQueuedBytes)
    : fd_(fd), maxQueuedBytes_(maxQueuedBytes), state_(std::make_shared<State>()) {
    thread_ = std::thread(run, state_, fd_);
}

LogWriter::~LogWriter() {
    finish(std::chrono::seconds(1));
}

void LogWriter::line(std::string text) {
    text += '\n';
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->finishing) {
        return;
    }
    std::string notice = state_->dropped > 0 ? droppedLine(state_->dropped) : std::string();
    if (state_->queuedBytes + notice.size() + text.size() > maxQueuedBytes_) {
        ++state_->dropped;
        droppedEver_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!notice.empty()) {
        state_->queuedBytes += notice.size();
        state_->queue.push_back(std::move(notice));
        state_->dropped = 0;
    }
    state_->queuedBytes += text.size();
    state_->queue.push_back(std::move(text));
    state_->changed.notify_all();
}

bool LogWriter::finish(std::chrono::milliseconds grace) {
    if (!thread_.joinable()) {
        return true;
    }
    bool drained = false;
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (state_->dropped > 0) {
            std::string notice = droppedLine(state_->dropped);
            state_->queuedBytes += notice.size();
            state_->queue.push_back(std::move(notice));
            state_->dropped = 0;
        }
        state_->finishing = true;
        state_->changed.notify_all();
        drained = state_->changed.wait_for(
            lock, grace, [this] { return state_->queue.empty() && state_->idle; });
    }
    if (drained) {
        thread_.join();
    } else {
        thread_.detach();
    }
    return drained;
}

void LogWriter::run(std::shared_ptr<State> state, int fd) {
    bool broken = false;
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return !state->queue.empty() || state->finishing; });
        if (state->queue.empty()) {
            state->changed.notify_all();
            return;
        }
        std::string text = std::move(state->queue.front());
        state->queue.pop_front();
        state->queuedBytes -= text.size();
        state->idle = false;
        lock.unlock();
        // A reader gone for good (EPIPE) must not stop the server: the rest is dropped.
        broken = broken || !writeAll(fd, text);
        lock.lock();
        state->idle = true;
        state->changed.notify_all();
    }
}

}  // namespace ru
