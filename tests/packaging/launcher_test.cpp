// catraca-console as a program, in front of a stand-in for catraca: it answers the two
// prompts from its configuration file, relays the console, passes the stop signals on
// and hands back the exit status, and none of its own bytes reach the console's output.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "support/loopback.h"
#include "support/process.h"

namespace {

using testsupport::ChildProcess;

const std::string kPrompts = "Digite o ip do servidor\nDigite a porta\n";

// The launcher's arguments that put the stand-in behind it, under the emulator in a
// cross build (the launcher would not run a foreign program by itself).
std::vector<std::string> launcherArgs(const std::string& config) {
    std::vector<std::string> args = {"--config", config, "--"};
    if (std::string(EMULATOR).size() > 0) {
        args.push_back(EMULATOR);
    }
    args.push_back(STANDIN_BIN);
    return args;
}

struct Session {
    std::string name;
    std::string config;
    std::string console;  // typed on the console, then its input ends
    int signal;           // sent to the launcher alone once the stand-in is running, or 0
    std::string out;      // every byte of the console's output
    int status;
    std::string err;  // a line the launcher writes on standard error
};

TEST(Launcher, AnswersRelaysSignalsAndHandsBackTheStatus) {
    const std::string ok = "CATRACA_SERVER=10.0.0.5\nCATRACA_PORT=8080\n";
    const std::string echo = kPrompts + "resposta 10.0.0.5 8080\nargumentos\n";
    // More than the pipe to the program holds, typed while it reads nothing.
    std::string asleep = "dorme 30\n";
    while (asleep.size() < 100000) {
        asleep += std::string(99, '7') + "\n";
    }
    const std::vector<Session> cases = {
        {"the console reaches the program, whose end of input follows",
         "CATRACA_SERVER=10.0.0.5\nCATRACA_PORT=8080\nCATRACA_TIMEOUT=5\n"
         "CATRACA_JOURNAL=/var/lib/catraca/journal.db\nCATRACA_OPTIONS='--refresh 30'\n",
         "1 8F3A21C0\n2\n8F3A21C0\n", 0,
         kPrompts +
             "resposta 10.0.0.5 8080\nargumentos [--journal] [/var/lib/catraca/journal.db] "
             "[--timeout] [5] [--refresh] [30]\nlido 1\nlido 8F3A21C0\nlido 2\nlido 8F3A21C0\n"
             "fim da entrada\n",
         0, "catraca-console: starting "},
        {"an exit status comes back", ok, "sai 3\n", 0, echo, 3, "ended with status 3"},
        {"a death by signal comes back as 128 + N", ok, "sinal 9\n", 0, echo, 128 + SIGKILL,
         "ended with status 137"},
        {"SIGTERM is passed on", ok, "", SIGTERM, echo + "parada 15\n", 40 + SIGTERM, ""},
        {"SIGINT is passed on", ok, "", SIGINT, echo + "parada 02\n", 40 + SIGINT, ""},
        {"SIGHUP is passed on", ok, "", SIGHUP, echo + "parada 01\n", 40 + SIGHUP, ""},
        {"SIGQUIT is a stop like SIGTERM", ok, "", SIGQUIT, echo + "parada 15\n", 40 + SIGTERM, ""},
        {"a signal is passed on while the program reads nothing and 100 KB are typed", ok, asleep,
         SIGTERM, echo + "parada 15\n", 40 + SIGTERM, ""},
        {"a bad configuration starts nothing", "CATRACA_SERVER=10.0.0.5\n", "1 8F3A21C0\n", 0, "",
         1, "CATRACA_PORT is missing or empty"},
    };
    for (const Session& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        std::ofstream(dir.file("catraca")) << c.config;
        ChildProcess launcher(LAUNCHER_BIN, launcherArgs(dir.file("catraca")));
        launcher.write(c.console);
        if (c.signal != 0) {
            ASSERT_TRUE(launcher.waitForOutput("argumentos")) << launcher.err();
            launcher.signal(c.signal);
        } else {
            launcher.closeInput();
        }
        EXPECT_EQ(launcher.wait(), c.status) << launcher.err();
        EXPECT_EQ(launcher.out(), c.out);
        EXPECT_NE(launcher.err().find(c.err), std::string::npos) << launcher.err();
    }
}

TEST(Launcher, MissingConfigurationOrProgramIsOneLineOnStandardError) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("catraca")) << "CATRACA_SERVER=h\nCATRACA_PORT=1\n";
    std::ofstream(dir.file("empty")).flush();
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<Row> cases = {
        {{"--config", dir.file("absent")}, 1, "cannot read " + dir.file("absent")},
        {{"--config", dir.file("catraca"), dir.file("no-such-program")},
         127,
         "cannot run " + dir.file("no-such-program")},
        {{"--config", dir.file("empty")}, 1, dir.file("empty") + ", CATRACA_SERVER is missing"},
        {{"--config", dir.path()}, 1, "cannot read " + dir.path() + ": Is a directory"},
        {{"--bogus"}, 2, "unknown option --bogus"},
        {{"--config"}, 2, "--config needs a file"},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.err);
        ChildProcess launcher(LAUNCHER_BIN, c.args);
        launcher.closeInput();
        EXPECT_EQ(launcher.wait(), c.status);
        EXPECT_EQ(launcher.out(), "");
        EXPECT_NE(launcher.err().find(c.err), std::string::npos) << launcher.err();
    }
}

// The launcher on a pseudo-terminal that is its controlling terminal and standard
// descriptors, as systemd starts it on a tty.
TEST(Launcher, OnATerminalControlKeysAreBytesAndTheSettingsComeBack) {
    testsupport::TempDir dir;
    std::ofstream(dir.file("catraca")) << "CATRACA_SERVER=h\nCATRACA_PORT=1\n";
    int master = -1, tty = -1;
    ASSERT_EQ(openpty(&master, &tty, nullptr, nullptr, nullptr), 0);
    struct termios before = {}, after = {};
    ASSERT_EQ(tcgetattr(tty, &before), 0);
    std::vector<std::string> args = {
        "-c", std::string("exec setsid -c \"$@\" <>") + ptsname(master) + " >&0 2>&0", "sh"};
    for (const std::vector<std::string>& part :
         {testsupport::commandFor(LAUNCHER_BIN), launcherArgs(dir.file("catraca"))}) {
        args.insert(args.end(), part.begin(), part.end());
    }
    ChildProcess launcher("/bin/sh", args);
    std::string shown;
    auto shows = [&](const std::string& needle) {
        char buffer[4096];
        struct pollfd ready = {master, POLLIN, 0};
        ssize_t n = 0;
        while (shown.find(needle) == std::string::npos && poll(&ready, 1, 10000) > 0 &&
               (n = read(master, buffer, sizeof buffer)) > 0) {
            shown.append(buffer, static_cast<size_t>(n));
        }
        return shown.find(needle) != std::string::npos;
    };
    ASSERT_TRUE(shows("argumentos")) << shown;
    // Ctrl-C, Ctrl-\, Ctrl-Z and Ctrl-S: no signal, no paused screen.
    const std::string typed = "\x03 \x1c \x1a \x13 8F3A21C0\n";
    ASSERT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
    EXPECT_TRUE(shows("lido \x03\r\nlido \x1c\r\nlido \x1a\r\nlido \x13\r\nlido 8F3A21C0\r\n"))
        << shown;
    launcher.signal(SIGQUIT);
    EXPECT_EQ(launcher.wait(), 40 + SIGTERM);
    EXPECT_TRUE(shows("parada 15")) << shown;
    ASSERT_EQ(tcgetattr(tty, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    close(master);
    close(tty);
}

}  // namespace
