#ifndef CATRACA_TESTS_PROCESS_H
#define CATRACA_TESTS_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// The command that runs `path` on this machine: in a cross build, the build's
// emulator followed by `path` when `path` is a program for another machine (an ELF
// file whose machine differs from the emulator's own); `path` alone otherwise, so
// that host tools such as /bin/sh or openssl run natively.
std::vector<std::string> commandFor(const std::string& path);

// True when `path` runs under the build's emulator rather than natively.
bool runsEmulated(const std::string& path);

// A child process with pipes on its standard input, output and error. The
// destructor kills it (SIGKILL) if it still runs and reaps it. `path` runs as
// commandFor(path) says.
class ChildProcess {
  public:
    // `closed` lists standard descriptors (0, 1, 2) the child starts without; their
    // pipes are then not made.
    ChildProcess(const std::string& path, const std::vector<std::string>& args,
                 const std::vector<int>& closed = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void write(const std::string& text);
    void closeInput();
    void signal(int sig);
    // Collects output until standard output holds `needle` `times` times; false
    // after `timeoutMs` or when the child closed its output first.
    bool waitForOutput(const std::string& needle, int times = 1, int timeoutMs = 10000);
    // Waits for the child to end, collecting its output: the exit status, or 128
    // plus the signal that ended it; -1 when it still ran after `timeoutMs` (it is
    // then killed).
    int wait(int timeoutMs = 20000);

    const std::string& out() const { return out_; }
    // The child's process id, -1 once it was reaped.
    pid_t pid() const { return pid_; }
    const std::string& err() const { return err_; }

  private:
    // Reads what arrives within `timeoutMs`: 1 when something was read (or a pipe
    // closed), 0 when nothing came, -1 when both pipes are closed.
    int pump(int timeoutMs);

    pid_t pid_ = -1;
    int in_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

}  // namespace testsupport

#endif
