#include "loopback.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

ServerThread::ServerThread(httplib::Server& server) : server_(server) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("test server could not bind 127.0.0.1");
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop before the accept loop runs would be lost.
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ServerThread::~ServerThread() {
    server_.stop();
    thread_.join();
}

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "catraca-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
