#ifndef RU_SERVER_TESTS_RAW_CLIENT_H
#define RU_SERVER_TESTS_RAW_CLIENT_H

#include <map>
#include <string>
#include <vector>

namespace rutest {

// A plain TCP connection to 127.0.0.1:`port` from the loopback address `from` (any of
// 127.0.0.0/8, so that one test can be several clients), for sending bytes no HTTP
// library would send. Closed by the destructor.
class RawConnection {
  public:
    explicit RawConnection(int port, const std::string& from = "127.0.0.1");
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Sends all of `bytes`; false when the connection is gone.
    bool send(const std::string& bytes);
    // Reads until the server closes the connection or `timeoutMs` passes; whether it
    // closed. What came is in received().
    bool readUntilClosed(int timeoutMs);
    // Reads until received() holds `count` whole answers or `timeoutMs` passes.
    bool readAnswers(std::size_t count, int timeoutMs);
    const std::string& received() const { return received_; }

  private:
    int fd_ = -1;
    std::string received_;
};

// One HTTP answer as it came on the wire.
struct RawAnswer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;                            // de-chunked
};

// The whole answers in `bytes`, in order (a trailing incomplete one is left out). HEAD
// answers cannot be told apart here: use it for other methods only.
std::vector<RawAnswer> parseAnswers(const std::string& bytes);

// A request with the given header lines (each without its line end), a Content-Length
// for a non-empty body, and "Connection: close" unless `keepAlive`.
std::string rawRequest(const std::string& method, const std::string& target,
                       const std::vector<std::string>& headers = {}, const std::string& body = "",
                       bool keepAlive = false);

}  // namespace rutest

#endif
