#ifndef CATRACA_CONSOLE_RELAY_H
#define CATRACA_CONSOLE_RELAY_H

#include <string>
#include <vector>

namespace launcher {

// Runs `command` (a program, looked up on PATH when its name has no slash, and its
// arguments) with its standard input on a pipe that carries `answers` first and then
// every byte read from the file descriptor `console`, until the program ends. Its
// standard output and error are this process's. The end of the console's input closes
// the pipe, so the program sees it too. The pipe is never written with a blocking
// call: what the program does not read yet is held, up to 64 KiB, and lines typed
// beyond that are dropped whole.
//
// SIGINT, SIGTERM and SIGHUP that reach this process are passed on to the program,
// SIGQUIT as SIGTERM; none ends this process, which always waits for the program.
//
// When `console` is a terminal, its signal characters (Ctrl-C, Ctrl-\, Ctrl-Z) and its
// output flow control (Ctrl-S, Ctrl-Q) are off while the program runs: those bytes are
// passed on like any other. Its settings are restored before this returns.
//
// Returns the program's exit status, 128 + N when signal N ended it, or 127 when it
// could not be started (with one line on standard error saying why).
int runOnConsole(const std::vector<std::string>& command, const std::string& answers, int console);

}  // namespace launcher

#endif
