#ifndef CATRACA_CONSOLE_H
#define CATRACA_CONSOLE_H

#include <streambuf>

// How the program is stopped from outside: SIGINT, SIGTERM and SIGHUP only raise a
// flag, and the console loop ends at its next read, so that an upload in flight
// completes and the pending events get their last attempt.
namespace console {

// Installs the stop handlers (without SA_RESTART) and ignores SIGPIPE, so that a
// closed console never kills the program with events still pending.
void instalaParada();

// True once a stop signal arrived.
bool paradaPedida();

// Forgets a stop request; for tests that raise the signals themselves.
void esqueceParada();

// A read buffer over a file descriptor (the console) whose reads wait for either
// input or a stop request; once a stop was asked for, it reports end of input.
class Entrada : public std::streambuf {
  public:
    explicit Entrada(int fd) : fd_(fd) {}

  protected:
    int_type underflow() override;

  private:
    int fd_;
    char buffer_[4096];
};

}  // namespace console

#endif
