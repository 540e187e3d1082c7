#ifndef CATRACA_TESTS_LOOPBACK_H
#define CATRACA_TESTS_LOOPBACK_H

#include <httplib.h>

#include <string>
#include <thread>

namespace testsupport {

// Runs `server`, whose routes the caller has installed, on 127.0.0.1 and a port the
// system picks, on a thread of its own; ready to accept once constructed. The
// destructor stops and joins it. `server` must outlive this object.
class ServerThread {
  public:
    explicit ServerThread(httplib::Server& server);
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    int port() const { return port_; }

  private:
    httplib::Server& server_;
    int port_ = -1;
    std::thread thread_;
};

// A fresh directory under the system's temporary directory, removed with all it holds
// when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace testsupport

#endif
