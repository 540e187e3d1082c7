#include "scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

bool sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

size_t contentLength(std::string head) {
    std::transform(head.begin(), head.end(), head.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t at = head.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

std::string statusLine(int status) {
    return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\n";
}

}  // namespace

ScriptedServer::ScriptedServer(std::function<Act(const ScriptedRequest&)> script)
    : script_(std::move(script)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd_, 16) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        pipe2(stopPipe_, O_CLOEXEC) != 0) {
        throw std::runtime_error("scripted server: cannot listen on 127.0.0.1");
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
    (void)!write(stopPipe_[1], "x", 1);
    acceptor_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& t : workers) {
        t.join();
    }
    close(listenFd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
}

std::vector<ScriptedRequest> ScriptedServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

// On Linux a shut-down listening socket refuses new connections at once, and its
// poll wakes the accepting thread.
void ScriptedServer::stopListening() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listening_) {
        listening_ = false;
        shutdown(listenFd_, SHUT_RDWR);
    }
}

void ScriptedServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || fds[1].revents != 0) {
            return;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd < 0) {
            if (!listening_) {
                return;
            }
            continue;
        }
        workers_.emplace_back([this, fd] {
            serve(fd);
            close(fd);
        });
    }
}

std::string ScriptedRequest::header(const std::string& name) const {
    const std::string start = "\r\n" + name + ": ";
    const size_t at = head.find(start);
    if (at == std::string::npos) {
        return "";
    }
    const size_t value = at + start.size();
    return head.substr(value, head.find("\r\n", value) - value);
}

void ScriptedServer::serve(int fd) {
    std::string buffer;
    size_t total = std::string::npos;
    while (total == std::string::npos || buffer.size() < total) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        char chunk[4096];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        size_t headEnd = buffer.find("\r\n\r\n");
        if (total == std::string::npos && headEnd != std::string::npos) {
            total = headEnd + 4 + contentLength(buffer.substr(0, headEnd + 2));
        }
    }
    ScriptedRequest request;
    size_t sp1 = buffer.find(' ');
    size_t sp2 = buffer.find(' ', sp1 + 1);
    request.method = buffer.substr(0, sp1);
    request.target = buffer.substr(sp1 + 1, sp2 - sp1 - 1);
    request.head = buffer.substr(0, buffer.find("\r\n\r\n") + 4);
    request.body = buffer.substr(buffer.find("\r\n\r\n") + 4);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
    }
    Act act = script_(request);
    if (act.stopListening) {
        stopListening();
    }
    std::string head = statusLine(act.status) + "Content-Type: application/json\r\n" + act.headers;
    const std::string whole =
        head + "Content-Length: " + std::to_string(act.body.size()) + "\r\n\r\n";
    switch (act.kind) {
        case Act::Answer:
            sendAll(fd, whole + act.body);
            break;
        case Act::CutReset:
        case Act::Reset: {
            if (act.kind == Act::CutReset) {
                sendAll(fd, whole + act.body.substr(0, act.body.size() / 2));
                // The reset must not overtake the bytes already sent.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            linger l{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            break;
        }
        case Act::CutStall:
            if (!sendAll(fd, whole + act.body.substr(0, act.body.size() / 2))) {
                break;
            }
            [[fallthrough]];
        case Act::Silent: {
            // Until the client hangs up or the server goes.
            pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            while (poll(fds, 2, -1) < 0 && errno == EINTR) {
            }
            break;
        }
        case Act::Truncate:
            sendAll(fd, head + "Content-Length: " + std::to_string(act.body.size() + 100) +
                            "\r\n\r\n" + act.body);
            break;
        case Act::Drip:
            if (!sendAll(fd, whole)) {
                break;
            }
            for (char c : act.body) {
                pollfd stop = {stopPipe_[0], POLLIN, 0};
                if (poll(&stop, 1, act.dripMs) != 0 || !sendAll(fd, std::string(1, c))) {
                    break;
                }
            }
            break;
    }
}

}  // namespace testsupport
