#include "console_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace launcher {

namespace {

// False once the reader end is gone (the program ended or closed its input).
bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Typed input waiting for a program that does not read (busy with an upload, or in
// its last attempt at a stop) is held here, up to this much: the launcher never blocks
// on the program, so a signal is always passed on at once.
constexpr size_t kHeld = 64 * 1024;

// Holds typed bytes for the program. From the first byte that does not fit, the bytes
// are dropped up to the end of their line, and so is the start of that line still
// held: a line either reaches the program whole or not at all (the line end itself
// goes on, so the next one does not run into an earlier one cut short).
void hold(std::string& held, bool& dropping, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (!dropping && held.size() >= kHeld) {
            dropping = true;
            size_t end = held.rfind('\n');
            held.erase(end == std::string::npos ? held.size() : end + 1);
        }
        if (!dropping || data[i] == '\n') {
            held.push_back(data[i]);
            dropping = false;
        }
    }
}

int statusOf(int waitStatus) {
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

// A turnstile's terminal is not a shell's: Ctrl-C, Ctrl-\ or Ctrl-Z typed there must
// not kill or stop catraca (their bytes reach it like any other), and Ctrl-S must not
// pause its screen (a paused write would hold up a stop). The settings found are put
// back when this goes, however the program ended; a console that is no terminal is
// left alone.
class TurnstileTerminal {
  public:
    explicit TurnstileTerminal(int console) : console_(console) {
        if (tcgetattr(console, &saved_) == 0) {
            struct termios modes = saved_;
            modes.c_lflag &= ~static_cast<tcflag_t>(ISIG);
            modes.c_iflag &= ~static_cast<tcflag_t>(IXON);
            changed_ = tcsetattr(console, TCSANOW, &modes) == 0;
        }
    }
    ~TurnstileTerminal() {
        if (changed_) {
            tcsetattr(console_, TCSANOW, &saved_);
        }
    }
    TurnstileTerminal(const TurnstileTerminal&) = delete;
    TurnstileTerminal& operator=(const TurnstileTerminal&) = delete;

  private:
    int console_;
    struct termios saved_ = {};
    bool changed_ = false;
};

}  // namespace

int runOnConsole(const std::vector<std::string>& command, const std::string& answers, int console) {
    // The signals are taken from a signalfd, so none can slip in between a check and
    // the wait; the program gets the mask and dispositions this process started with.
    sigset_t handled, original;
    sigemptyset(&handled);
    for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&handled, s);
    }
    sigprocmask(SIG_BLOCK, &handled, &original);
    int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    int input[2];
    if (signals < 0 || pipe2(input, O_CLOEXEC) != 0) {
        std::cerr << "catraca-console: " << std::strerror(errno) << std::endl;
        return 127;
    }
    struct sigaction oldPipe = {}, ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &oldPipe);

    std::vector<char*> argv;
    for (const std::string& a : command) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);

    TurnstileTerminal terminal(console);
    pid_t child = fork();
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        sigaction(SIGPIPE, &oldPipe, nullptr);
        sigprocmask(SIG_SETMASK, &original, nullptr);
        execvp(argv[0], argv.data());
        std::string line =
            "catraca-console: cannot run " + command[0] + ": " + std::strerror(errno) + "\n";
        writeAll(STDERR_FILENO, line.data(), line.size());
        _exit(127);
    }
    close(input[0]);
    if (child < 0) {
        std::cerr << "catraca-console: fork: " << std::strerror(errno) << std::endl;
        close(input[1]);
        close(signals);
        return 127;
    }

    int toProgram = input[1];
    fcntl(toProgram, F_SETFL, O_NONBLOCK);
    std::string held = answers;
    bool dropping = false;
    bool typing = true;
    for (;;) {
        // A program that stopped reading (its input closed) gets no more.
        struct pollfd fds[3] = {{signals, POLLIN, 0},
                                {typing && toProgram >= 0 ? console : -1, POLLIN, 0},
                                {held.empty() ? -1 : toProgram, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::cerr << "catraca-console: poll: " << std::strerror(errno) << std::endl;
            kill(child, SIGTERM);
            fds[0].revents = 0;
        }
        if (fds[0].revents != 0) {
            struct signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == sizeof info) {
                // catraca stops with its last upload on INT, TERM and HUP; a quit is
                // a stop too, not a crash to dump.
                if (info.ssi_signo == SIGQUIT) {
                    kill(child, SIGTERM);
                } else if (info.ssi_signo != SIGCHLD) {
                    kill(child, static_cast<int>(info.ssi_signo));
                }
            }
            int waitStatus = 0;
            if (waitpid(child, &waitStatus, WNOHANG) == child) {
                if (toProgram >= 0) {
                    close(toProgram);
                }
                close(signals);
                sigaction(SIGPIPE, &oldPipe, nullptr);
                sigprocmask(SIG_SETMASK, &original, nullptr);
                return statusOf(waitStatus);
            }
        }
        if (fds[2].revents != 0) {
            ssize_t n = write(toProgram, held.data(), held.size());
            if (n > 0) {
                held.erase(0, static_cast<size_t>(n));
            } else if (errno != EINTR && errno != EAGAIN) {
                held.clear();
                close(toProgram);
                toProgram = -1;
            }
        }
        if (fds[1].revents != 0 && toProgram >= 0) {
            char buffer[4096];
            ssize_t n = read(console, buffer, sizeof buffer);
            if (n > 0) {
                hold(held, dropping, buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                typing = false;
            }
        }
        // The end of input (or a console that went away) is passed on as the end of the
        // program's input, once what was typed before it is through.
        if (!typing && held.empty() && toProgram >= 0) {
            close(toProgram);
            toProgram = -1;
        }
    }
}

}  // namespace launcher
