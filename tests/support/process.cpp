#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace testsupport {

namespace {

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

#ifdef CATRACA_TEST_EMULATOR
// The e_machine field of an ELF file, -1 for anything else (a script, a missing
// file).
int elfMachine(const std::string& path) {
    unsigned char head[20] = {};
    std::ifstream f(path, std::ios::binary);
    if (!f.read(reinterpret_cast<char*>(head), sizeof head) || head[0] != 0x7f || head[1] != 'E' ||
        head[2] != 'L' || head[3] != 'F') {
        return -1;
    }
    // EI_DATA: 1 for little-endian, 2 for big-endian fields.
    return head[5] == 2 ? head[18] << 8 | head[19] : head[19] << 8 | head[18];
}
#endif

}  // namespace

std::vector<std::string> commandFor(const std::string& path) {
#ifdef CATRACA_TEST_EMULATOR
    // The emulator is a program of this machine: its machine is the one that runs
    // everything else natively.
    static const int host = elfMachine(CATRACA_TEST_EMULATOR);
    const int machine = elfMachine(path);
    if (machine >= 0 && machine != host) {
        return {CATRACA_TEST_EMULATOR, path};
    }
#endif
    return {path};
}

bool runsEmulated(const std::string& path) {
    return commandFor(path).size() > 1;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::vector<int>& closed) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> command = commandFor(path);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : command) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : closed) {
            close(fd);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    outFd_ = out[0];
    errFd_ = err[0];
    for (int fd : closed) {
        int* mine = fd == 0 ? &in_ : fd == 1 ? &outFd_ : &errFd_;
        close(*mine);
        *mine = -1;
    }
    // Writing to a child that already ended must fail, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {in_, outFd_, errFd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ChildProcess::write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void ChildProcess::signal(int sig) {
    kill(pid_, sig);
}

int ChildProcess::pump(int timeoutMs) {
    struct pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        return -1;
    }
    if (poll(fds, 2, timeoutMs) <= 0) {
        return 0;
    }
    int* fdRefs[2] = {&outFd_, &errFd_};
    std::string* sinks[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = read(*fdRefs[i], buf, sizeof buf);
        if (n > 0) {
            sinks[i]->append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(*fdRefs[i]);
            *fdRefs[i] = -1;
        }
    }
    return 1;
}

bool ChildProcess::waitForOutput(const std::string& needle, int times, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int found = 0;
        for (size_t at = out_.find(needle); at != std::string::npos;
             at = out_.find(needle, at + needle.size())) {
            ++found;
        }
        if (found >= times) {
            return true;
        }
        long long left = deadline - nowMs();
        if (left <= 0 || pump(static_cast<int>(left)) < 0) {
            return false;
        }
    }
}

int ChildProcess::wait(int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline && pump(50) >= 0) {
    }
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            while (pump(0) > 0) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (nowMs() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        pump(20);
    }
}

}  // namespace testsupport
