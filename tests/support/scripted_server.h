#ifndef CATRACA_TESTS_SCRIPTED_SERVER_H
#define CATRACA_TESTS_SCRIPTED_SERVER_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// One request as the scripted server read it.
struct ScriptedRequest {
    std::string method;
    std::string target;
    std::string head;  // the request line and header fields as sent, with their line ends
    std::string body;

    // Value of the first field named `name` (compared as sent); "" when absent.
    std::string header(const std::string& name) const;
};

// How the scripted server treats one request.
struct Act {
    enum Kind {
        Answer,    // status and body with their Content-Length
        Reset,     // a TCP reset instead of any answer
        Silent,    // nothing at all until the client gives up
        Truncate,  // announces 100 bytes more than the body it sends, then closes
        Drip,      // the head at once, then the body one byte every `dripMs`
        CutReset,  // the head and the first half of the body, then a TCP reset
        CutStall,  // the head and the first half of the body, then nothing more
    };
    Kind kind = Answer;
    int status = 200;
    std::string body;
    int dripMs = 0;
    // Further header lines of the answer, each with its "\r\n".
    std::string headers;
    // Stop listening before acting: every later connection is refused.
    bool stopListening = false;

    static Act answer(int status, std::string body) { return make(Answer, status, body, 0); }
    static Act reset() { return make(Reset, 0, "", 0); }
    static Act silent() { return make(Silent, 0, "", 0); }
    static Act truncate(int status, std::string body) { return make(Truncate, status, body, 0); }
    static Act drip(int status, std::string body, int ms) { return make(Drip, status, body, ms); }
    static Act cutReset(int status, std::string body) { return make(CutReset, status, body, 0); }
    static Act cutStall(int status, std::string body) { return make(CutStall, status, body, 0); }
    Act& with(const std::string& name, const std::string& value) {
        headers += name + ": " + value + "\r\n";
        return *this;
    }

  private:
    static Act make(Kind k, int status, std::string body, int ms) {
        Act a;
        a.kind = k;
        a.status = status;
        a.body = std::move(body);
        a.dripMs = ms;
        return a;
    }
};

// A raw HTTP/1.1 server on 127.0.0.1 and a port the system picks, for fault tests:
// each connection carries one request (head plus Content-Length bytes of body),
// which `script` turns into an Act; then the connection is closed. Connections are
// served on threads of their own, so a silent one holds up no other. The destructor
// wakes and joins every thread.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<Act(const ScriptedRequest&)> script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<ScriptedRequest> requests() const;

  private:
    void acceptLoop();
    void serve(int fd);
    void stopListening();

    std::function<Act(const ScriptedRequest&)> script_;
    int listenFd_ = -1;
    int port_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::vector<std::thread> workers_;
    std::vector<ScriptedRequest> requests_;
    bool listening_ = true;
};

}  // namespace testsupport

#endif
