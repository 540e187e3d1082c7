#include "raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace rawtest {

namespace {

// How long a connection may stay silent before the server drops it.
const int kIdleMs = 3000;

int listenLoopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("raw server: socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("raw server: cannot listen on 127.0.0.1");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

std::string lowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Content-Length of a request head, 0 when absent.
size_t contentLength(const std::string& head) {
    std::string lower = lowerCase(head);
    size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return 0;
    }
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

void sendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

RawServer::RawServer(std::vector<std::string> responses) : responses_(std::move(responses)) {
    listenFd_ = listenLoopback(&port_);
    if (pipe(stopPipe_) != 0) {
        close(listenFd_);
        throw std::runtime_error("raw server: pipe failed");
    }
    thread_ = std::thread([this] { run(); });
}

RawServer::~RawServer() {
    (void)!write(stopPipe_[1], "x", 1);
    thread_.join();
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    close(listenFd_);
}

std::string RawServer::ok(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string RawServer::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> RawServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int RawServer::connections() const {
    return connections_;
}

void RawServer::record(const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
}

void RawServer::run() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (fds[1].revents & POLLIN) != 0) {
            return;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        ++connections_;
        serve(fd);
        close(fd);
    }
}

void RawServer::serve(int fd) {
    std::string buffer;
    bool continued = false;
    for (;;) {
        size_t headEnd = buffer.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::string head = buffer.substr(0, headEnd + 2);
            size_t total = headEnd + 4 + contentLength(head);
            // Without the interim answer the client would hold the body back for a second.
            if (buffer.size() < total && !continued &&
                lowerCase(head).find("\r\nexpect: 100-continue\r\n") != std::string::npos) {
                sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n");
                continued = true;
            }
            if (buffer.size() >= total) {
                continued = false;
                std::string request = buffer.substr(0, total);
                buffer.erase(0, total);
                size_t index = requests().size();
                record(request);
                std::string response = responses_[std::min(index, responses_.size() - 1)];
                if (request.compare(0, 5, "HEAD ") == 0) {
                    size_t end = response.find("\r\n\r\n");
                    response = response.substr(0, end == std::string::npos ? end : end + 4);
                }
                sendAll(fd, response);
                continue;
            }
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        int ready = poll(fds, 2, kIdleMs);
        if ((ready > 0 && (fds[1].revents & POLLIN) != 0)) {
            return;
        }
        char chunk[4096];
        ssize_t n = ready > 0 ? recv(fd, chunk, sizeof chunk, 0) : 0;
        if (n <= 0) {
            if (!buffer.empty()) {
                record(buffer);
            }
            return;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
}

namespace {

std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string withHost(std::string text, const RawServer& server) {
    const std::string mark = "{host}";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
        text.replace(at, mark.size(), server.address());
    }
    return text;
}

std::string difference(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return "";
    }
    size_t at =
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
        actual.begin();
    size_t from = at < 20 ? 0 : at - 20;
    return "first difference at byte " + std::to_string(at) + ": got \"" +
           escaped(actual.substr(from, 60)) + "\", expected \"" +
           escaped(expected.substr(from, 60)) + "\"\nwhole request: \"" + escaped(actual) + "\"";
}

int closedPort() {
    int port = 0;
    int fd = listenLoopback(&port);
    close(fd);
    return port;
}

}  // namespace rawtest
