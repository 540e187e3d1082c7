// catraca-console: starts catraca on the console it was given (a tty under systemd),
// answering its two start-up prompts from a configuration file, and then hands the
// console over. See --help.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

#include "console_relay.h"
#include "launcher_config.h"

namespace {

constexpr const char* kUsage =
    R"(Usage: catraca-console [--config FILE] [[--] PROGRAM [ARGUMENT]...]
Starts catraca on this console: answers its two start-up prompts (the server's address
and port) from FILE, passes it the options that FILE sets, then relays every byte typed
on the console (a card reader that types like a keyboard) to it, until it ends.

  --config FILE  the configuration (default: )" CATRACA_DEFAULT_CONFIG R"()
  --help         show this text and exit
  --version      show the version and exit

PROGRAM (default: catraca beside this launcher) and its ARGUMENTs are run in place of
catraca alone; the options from FILE come after them.

While catraca runs on a terminal, Ctrl-C, Ctrl-\ and Ctrl-Z raise no signal and
Ctrl-S and Ctrl-Q pause nothing: their bytes reach catraca like any other. The
terminal's settings are restored at the end. Ctrl-D at the start of a line still ends
catraca's input.

SIGINT, SIGTERM and SIGHUP are passed on to catraca, SIGQUIT as SIGTERM: each is a stop
with its last upload attempt. The launcher's own messages go to standard error only.
Exit status: catraca's, or 128 + N when signal N ended it; 127 when it could not be
started, 1 for an unusable configuration, 2 for bad options.
)";

// The directory of this executable, so that an unpacked or relocated installation
// runs its own catraca.
std::string ownDirectory() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    std::string self(path, static_cast<size_t>(n));
    return self.substr(0, self.find_last_of('/'));
}

// Appends the file's bytes to `text`; false with errno set when it cannot be read. An
// empty file is read: the configuration then says which setting it lacks.
bool readFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int error = errno;
            close(fd);
            errno = error;
            return n == 0;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

int usageError(const std::string& message) {
    std::cerr << "catraca-console: " << message << " (see --help)" << std::endl;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string configPath = CATRACA_DEFAULT_CONFIG;
    std::vector<std::string> command;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "catraca-console " CATRACA_VERSION "\n";
            return 0;
        }
        if (arg == "--config" || arg.rfind("--config=", 0) == 0) {
            if (arg == "--config" && i + 1 == argc) {
                return usageError("--config needs a file");
            }
            configPath = arg == "--config" ? argv[++i] : arg.substr(std::strlen("--config="));
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg.rfind("-", 0) == 0) {
            return usageError("unknown option " + arg);
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        command.push_back(argv[i]);
    }
    if (command.empty()) {
        command.push_back(ownDirectory() + "/catraca");
    }

    std::string text;
    if (!readFile(configPath, text)) {
        std::cerr << "catraca-console: cannot read " << configPath << ": " << std::strerror(errno)
                  << std::endl;
        return 1;
    }
    std::string error;
    std::optional<launcher::Config> config = launcher::parseConfig(text, error);
    if (!config) {
        std::cerr << "catraca-console: " << configPath << ", " << error << std::endl;
        return 1;
    }
    command.insert(command.end(), config->arguments.begin(), config->arguments.end());

    std::cerr << "catraca-console: starting " << command[0] << " for server " << config->server
              << " port " << config->port << std::endl;
    int status =
        launcher::runOnConsole(command, config->server + "\n" + config->port + "\n", STDIN_FILENO);
    std::cerr << "catraca-console: " << command[0] << " ended with status " << status << std::endl;
    return status;
}
