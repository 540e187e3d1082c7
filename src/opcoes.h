#ifndef CATRACA_OPCOES_H
#define CATRACA_OPCOES_H

#include <string>

// The command line of catraca, GNU style: `--name VALUE` or `--name=VALUE`. With no
// option the program behaves as it always has, apart from the bounded waits.
//
// To add an option: a field here, an entry in the table of opcoes.cpp, a line of
// kAjuda, and a row in the options test.
struct Opcoes {
    // Seconds a request may wait for its connection or go without moving a byte
    // before it is given up; 0 waits without limit.
    int timeout = 10;
    // SQLite file of the events the server has not acknowledged; empty: none.
    std::string journal;
    // File of certificate authorities trusted for an https:// address; empty: the
    // system's.
    std::string cacert;
    // The board's client certificate and its private key (PEM), shown to an https://
    // server that asks for one; both empty: none.
    std::string cert;
    std::string key;
    // A refused entry downloads the roster again when the last download is older than
    // this many seconds; -1: never.
    int refresh = -1;
    // Every event upload carries an idempotency key (idempotencia.h).
    bool chaves = false;
    // The board's name, sent with every request (Catraca-Board); empty: an unnamed
    // board, whose requests are as they always were.
    std::string nomePlaca;
    // An entry whose card is found asks the server before the turnstile opens; it turns
    // `chaves` on.
    bool online = false;
    // Seconds the server has to answer that question before the board decides alone;
    // 1 to kMaiorEsperaEntrada, and never above a `timeout` other than 0.
    int esperaEntrada = 1;
    // Between two passes of the console loop, what changed on the server is downloaded
    // when the last download is this many seconds old; -1: never.
    int sync = -1;
};

constexpr int kMaiorEsperaEntrada = 60;

// True for a name a board may have: 1 to 64 bytes of printable ASCII without spaces
// (0x21 to 0x7E), so that it goes into a header field as it is.
bool nomeDePlacaValido(const std::string& nome);

// What the command line asks for.
struct LeituraOpcoes {
    enum Acao { Executa, Ajuda, Versao, Erro };
    Acao acao = Executa;
    Opcoes opcoes;
    // For Erro: one line (no line end) for standard error.
    std::string erro;
};

// Reads argv[1..argc-1]. Touches nothing but the files it checks (--cacert, --cert and
// --key must be readable); reentrant, so it may be called more than once in a process.
LeituraOpcoes leOpcoes(int argc, char* argv[]);

// The --help text, ISO-8859-1, ending in a line end.
extern const char* const kAjuda;
// The --version line, with its line end.
extern const char* const kVersao;

#endif
