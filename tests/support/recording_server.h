#ifndef CATRACA_TESTS_RECORDING_SERVER_H
#define CATRACA_TESTS_RECORDING_SERVER_H

#include <httplib.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "loopback.h"

namespace testsupport {

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string target;  // path and query exactly as sent
    std::string path;    // decoded path
    httplib::Headers headers;
    std::string body;

    // Value of the first header named `name` (case-insensitive); "" when absent.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

// What the server answers to one request.
struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/plain";
    int delayMs = 0;        // time to wait before answering
    bool cutShort = false;  // announce the body, then close the connection without it
};

// A real HTTP server on 127.0.0.1 and an ephemeral port, on a thread of its own,
// that records every request and answers from a script. Answers come, in order of
// precedence, from the handler, then from the queued replies, then from the
// fallback (200 with an empty body unless set). The destructor stops and joins it.
class RecordingServer {
  public:
    RecordingServer();
    ~RecordingServer();
    RecordingServer(const RecordingServer&) = delete;
    RecordingServer& operator=(const RecordingServer&) = delete;

    int port() const { return thread_->port(); }
    // "127.0.0.1:<port>", the form the controller builds its URLs from.
    std::string address() const;

    void setHandler(std::function<Reply(const RecordedRequest&)> handler);
    void enqueue(Reply reply);
    void setFallback(Reply reply);

    std::vector<RecordedRequest> requests() const;
    void clearRequests();

  private:
    void serve(const httplib::Request& req, httplib::Response& res);

    httplib::Server server_;
    std::unique_ptr<ServerThread> thread_;
    mutable std::mutex mutex_;
    std::function<Reply(const RecordedRequest&)> handler_;
    std::deque<Reply> queue_;
    Reply fallback_;
    std::vector<RecordedRequest> requests_;
};

}  // namespace testsupport

#endif
