#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace rutest {

RawConnection::RawConnection(int port, const std::string& from) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool RawConnection::send(const std::string& bytes) {
    std::size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

namespace {

// Reads what is there within `ms`: 1 data, 0 nothing, -1 closed (or reset).
int readSome(int fd, std::string& into, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) {
        return 0;
    }
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        return -1;
    }
    into.append(buffer, static_cast<std::size_t>(n));
    return 1;
}

template <class Done>
bool readUntil(int fd, std::string& into, int timeoutMs, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd >= 0 && !done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        if (readSome(fd, into, static_cast<int>(left)) < 0) {
            return done();
        }
    }
    return fd >= 0;
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

bool RawConnection::readUntilClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        if (readSome(fd_, received_, static_cast<int>(left)) < 0) {
            return true;
        }
    }
    return false;
}

bool RawConnection::readAnswers(std::size_t count, int timeoutMs) {
    return readUntil(fd_, received_, timeoutMs,
                     [&] { return parseAnswers(received_).size() >= count; });
}

std::vector<RawAnswer> parseAnswers(const std::string& bytes) {
    std::vector<RawAnswer> answers;
    std::size_t at = 0;
    for (;;) {
        const std::size_t headerEnd = bytes.find("\r\n\r\n", at);
        if (headerEnd == std::string::npos || bytes.compare(at, 5, "HTTP/") != 0) {
            return answers;
        }
        RawAnswer answer;
        answer.status = std::atoi(bytes.c_str() + bytes.find(' ', at) + 1);
        std::size_t line = bytes.find("\r\n", at) + 2;
        while (line < headerEnd + 2) {
            const std::size_t end = bytes.find("\r\n", line);
            const std::string field = bytes.substr(line, end - line);
            const std::size_t colon = field.find(':');
            std::size_t value = colon + 1;
            while (value < field.size() && field[value] == ' ') {
                ++value;
            }
            answer.headers[lower(field.substr(0, colon))] = field.substr(value);
            line = end + 2;
        }
        std::size_t next = headerEnd + 4;
        if (answer.status == 100) {
            at = next;
            continue;
        }
        if (lower(answer.headers["transfer-encoding"]) == "chunked") {
            for (;;) {
                const std::size_t sizeEnd = bytes.find("\r\n", next);
                if (sizeEnd == std::string::npos) {
                    return answers;
                }
                const std::size_t size = std::strtoul(bytes.c_str() + next, nullptr, 16);
                if (bytes.size() < sizeEnd + 2 + size + 2) {
                    return answers;
                }
                answer.body.append(bytes, sizeEnd + 2, size);
                next = sizeEnd + 2 + size + 2;
                if (size == 0) {
                    break;
                }
            }
        } else {
            const auto length = answer.headers.find("content-length");
            const std::size_t size = length == answer.headers.end()
                                         ? 0
                                         : std::strtoul(length->second.c_str(), nullptr, 10);
            if (bytes.size() < next + size) {
                return answers;
            }
            answer.body = bytes.substr(next, size);
            next += size;
        }
        answers.push_back(std::move(answer));
        at = next;
    }
}

std::string rawRequest(const std::string& method, const std::string& target,
                       const std::vector<std::string>& headers, const std::string& body,
                       bool keepAlive) {
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const std::string& header : headers) {
        text += header + "\r\n";
    }
    if (!body.empty()) {
        text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    if (!keepAlive) {
        text += "Connection: close\r\n";
    }
    return text + "\r\n" + body;
}

}  // namespace rutest
