#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <locale>

namespace console {

namespace {

// Raised only by the handler, whose stop signals block one another, so the increment
// is never interrupted by itself; capped so it never wraps.
volatile std::sig_atomic_t pedidos = 0;
// Written by the handler so that a read already waiting in poll wakes up; the
// flag alone would be missed by a read that started just before the signal.
int avisoLeitura = -1;
int avisoEscrita = -1;

extern "C" void pedeParada(int) {
    int salvo = errno;
    if (pedidos < 1000) {
        pedidos = pedidos + 1;
    }
    if (avisoEscrita >= 0) {
        char c = 1;
        ssize_t ignorado = write(avisoEscrita, &c, 1);
        (void)ignorado;
    }
    errno = salvo;
}

}  // namespace

void instalaParada() {
    if (avisoLeitura < 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            avisoLeitura = fds[0];
            avisoEscrita = fds[1];
        }
    }
    struct sigaction sa = {};
    sa.sa_handler = pedeParada;
    sigemptyset(&sa.sa_mask);
    for (int sinal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&sa.sa_mask, sinal);
    }
    sa.sa_flags = 0;
    for (int sinal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sinal, &sa, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

bool paradaPedida() {
    return pedidos != 0;
}

unsigned pedidosDeParada() {
    return static_cast<unsigned>(pedidos);
}

void esqueceParada() {
    pedidos = 0;
    char lixo[64];
    while (avisoLeitura >= 0 && read(avisoLeitura, lixo, sizeof lixo) > 0) {
    }
}

bool leToken(std::istream& in, std::string& token, std::size_t limite, bool* inteiro) {
    using traits = std::istream::traits_type;
    *inteiro = true;
    std::istream::sentry pronto(in);  // skips the leading whitespace, as >> does
    if (!pronto) {
        return false;
    }
    token.clear();
    const std::ctype<char>& tipos = std::use_facet<std::ctype<char>>(in.getloc());
    std::streambuf* origem = in.rdbuf();
    bool algum = false;
    std::istream::int_type c = origem->sgetc();
    while (!traits::eq_int_type(c, traits::eof()) &&
           !tipos.is(std::ctype_base::space, traits::to_char_type(c))) {
        if (token.size() < limite) {
            token.push_back(traits::to_char_type(c));
        } else {
            *inteiro = false;
        }
        algum = true;
        c = origem->snextc();
    }
    if (traits::eq_int_type(c, traits::eof())) {
        in.setstate(std::ios::eofbit);
    }
    if (!algum) {
        in.setstate(std::ios::failbit);
    }
    return algum;
}

bool entradaPronta(std::istream& in) {
    Entrada* e = dynamic_cast<Entrada*>(in.rdbuf());
    return e != nullptr && e->pronta(0);
}

bool aguarda(std::istream& in, int ms) {
    Entrada* e = dynamic_cast<Entrada*>(in.rdbuf());
    return e == nullptr || e->pronta(ms);
}

bool Entrada::pronta(int ms) {
    const auto limite = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        // White space starts no turnstile number nor card: what it ends is never waited for.
        while (gptr() < egptr() && std::isspace(static_cast<unsigned char>(*gptr()))) {
            gbump(1);
        }
        if (gptr() < egptr() || paradaPedida()) {
            return true;
        }
        auto falta = std::chrono::duration_cast<std::chrono::milliseconds>(
            limite - std::chrono::steady_clock::now());
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {avisoLeitura, POLLIN, 0}};
        int prontos = poll(fds, avisoLeitura >= 0 ? 2 : 1,
                           static_cast<int>(std::max<long long>(0, falta.count())));
        // A signal or a stop request: the caller's next read sees what it meant.
        if (prontos < 0 || (prontos > 0 && fds[0].revents == 0)) {
            return true;
        }
        if (prontos == 0) {
            return false;
        }
        ssize_t n = read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            // The end of the console (or a failure), which the next read meets again.
            return true;
        }
        setg(buffer_, buffer_, buffer_ + n);
    }
}

Entrada::int_type Entrada::underflow() {
    if (gptr() < egptr()) {
        return traits_type::to_int_type(*gptr());
    }
    for (;;) {
        if (paradaPedida()) {
            return traits_type::eof();
        }
        struct pollfd fds[2] = {{fd_, POLLIN, 0}, {avisoLeitura, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return traits_type::eof();
        }
        if (fds[1].revents != 0) {
            char lixo[64];
            while (read(avisoLeitura, lixo, sizeof lixo) > 0) {
            }
            continue;  // the flag is checked at the top
        }
        if (fds[0].revents == 0) {
            continue;
        }
        ssize_t n = read(fd_, buffer_, sizeof buffer_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return traits_type::eof();
        }
        setg(buffer_, buffer_, buffer_ + n);
        return traits_type::to_int_type(*gptr());
    }
}

Saida::int_type Saida::overflow(int_type c) {
    sync();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize Saida::xsputn(const char* s, std::streamsize n) {
    std::streamsize livre = epptr() - pptr();
    if (n <= livre) {
        traits_type::copy(pptr(), s, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
        return n;
    }
    sync();
    if (n < epptr() - pbase()) {
        traits_type::copy(pptr(), s, static_cast<std::size_t>(n));
        pbump(static_cast<int>(n));
    } else {
        escreve(s, static_cast<std::size_t>(n));
    }
    return n;
}

int Saida::sync() {
    escreve(pbase(), static_cast<std::size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    return 0;
}

void Saida::escreve(const char* dados, std::size_t n) {
    while (n > 0) {
        ssize_t escrito = write(fd_, dados, n);
        if (escrito > 0) {
            dados += escrito;
            n -= static_cast<std::size_t>(escrito);
        } else if (escrito < 0 && errno == EINTR) {
            continue;
        } else if (escrito < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd espera = {fd_, POLLOUT, 0};
            poll(&espera, 1, -1);
        } else {
            return;
        }
    }
}

}  // namespace console
