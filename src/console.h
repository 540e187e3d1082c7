#ifndef CATRACA_CONSOLE_H
#define CATRACA_CONSOLE_H

#include <cstddef>
#include <istream>
#include <streambuf>
#include <string>

// How the program is stopped from outside: SIGINT, SIGTERM and SIGHUP only count a
// stop request, and the console loop ends at its next read, so that the pending
// events get their last attempt; a further request ends that attempt.
namespace console {

// Installs the stop handlers (without SA_RESTART) and ignores SIGPIPE, so that a
// closed console never kills the program with events still pending.
void instalaParada();

// True once a stop signal arrived.
bool paradaPedida();

// How many stop signals arrived so far (a second one ends the last upload attempt).
unsigned pedidosDeParada();

// Forgets a stop request; for tests that raise the signals themselves.
void esqueceParada();

// The longest card token kept whole; a card reader that got stuck types far more.
constexpr std::size_t kMaiorCartao = 256;
// The longest server address kept whole: a host name has at most 253 bytes, and a
// scheme and credentials fit in the rest.
constexpr std::size_t kMaiorEndereco = 512;

// Reads one token from `in` as `in >> token` does (leading whitespace skipped, up to
// the next whitespace or the end of input, the same stream states), but keeps at most
// `limite` bytes of it in `token`: the rest is read and dropped, so that input without
// a line end never grows memory. `*inteiro` tells whether the whole token was kept.
// Returns false, like a failed `>>`, when no token could be read.
bool leToken(std::istream& in, std::string& token, std::size_t limite, bool* inteiro);

// Whether a read of `in` would find more than white space without waiting: input is
// buffered or waiting on the console, the console ended, or a stop was asked for. Only
// a console read through Entrada can tell (white space it reads on the way is
// dropped); any other stream answers false.
bool entradaPronta(std::istream& in);

// Waits up to `ms` milliseconds until entradaPronta(in); false when the time ran out
// first. Any stream other than an Entrada, whose reads never wait, answers true at once.
bool aguarda(std::istream& in, int ms);

// A read buffer over a file descriptor (the console) whose reads wait for either
// input or a stop request; once a stop was asked for, it reports end of input.
class Entrada : public std::streambuf {
  public:
    explicit Entrada(int fd) : fd_(fd) {}

    // Waits up to `ms` milliseconds (0: not at all) until a read would find more than
    // white space without waiting (see entradaPronta), dropping the white space it
    // reads; false when the time ran out first.
    bool pronta(int ms);

  protected:
    int_type underflow() override;

  private:
    int fd_;
    char buffer_[4096];
};

// A write buffer over a file descriptor (the console). Text collects until a flush or
// until the buffer is full, then goes out in as few writes as the descriptor takes;
// a write interrupted by a signal (EINTR) or refused for now (EAGAIN) is retried, so
// a stop signal that lands while a slow reader holds the console up loses nothing.
// A write that fails for good (a closed reader) drops its bytes but never fails the
// stream: later lines, the last warning included, still get their try.
class Saida : public std::streambuf {
  public:
    explicit Saida(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~Saida() override { sync(); }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    // Writes [dados, dados + n) whole, or until the descriptor fails for good.
    void escreve(const char* dados, std::size_t n);

    int fd_;
    char buffer_[65536];
};

}  // namespace console

#endif
