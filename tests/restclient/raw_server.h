#ifndef CATRACA_TESTS_RESTCLIENT_RAW_SERVER_H
#define CATRACA_TESTS_RESTCLIENT_RAW_SERVER_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rawtest {

// A TCP server on 127.0.0.1 and an ephemeral port, for tests where the exact bytes
// of a request matter. It serves one connection at a time, as many requests on it
// as the client sends (keep-alive), and records each request's raw bytes: the head
// up to the blank line plus Content-Length bytes of body. Request i is answered
// with responses[i], the last one repeating; an empty response means "never answer"
// (the connection stays open until the client gives up). A HEAD request gets only
// the head of its response. Bytes that never form a complete head are recorded as
// a request when the client closes or stays silent for a few seconds.
// The destructor stops and joins the server thread.
class RawServer {
  public:
    explicit RawServer(std::vector<std::string> responses = {ok("ok")});
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    // A 200 response with `body` and its Content-Length.
    static std::string ok(const std::string& body);

    int port() const { return port_; }
    // "127.0.0.1:<port>".
    std::string address() const;

    std::vector<std::string> requests() const;
    // Connections accepted so far.
    int connections() const;

  private:
    void run();
    void serve(int fd);
    void record(const std::string& request);

    int listenFd_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = -1;
    std::vector<std::string> responses_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::atomic<int> connections_{0};
};

// A port on 127.0.0.1 that had a listener a moment ago and has none now.
int closedPort();

// `text` with every "{host}" replaced by the server's address.
std::string withHost(std::string text, const RawServer& server);

// Empty when the byte strings are equal; otherwise where they first differ, with the
// bytes around it escaped.
std::string difference(const std::string& actual, const std::string& expected);

}  // namespace rawtest

#endif
