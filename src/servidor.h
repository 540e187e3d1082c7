#ifndef CATRACA_SERVIDOR_H
#define CATRACA_SERVIDOR_H

#include <chrono>
#include <functional>
#include <string>

#include "restclient/connection.h"
#include "restclient/restclient.h"

// The controller's one way to the server: every request it makes goes through
// here, each on a fresh RestClient::Connection with the bytes the exchanges always
// had (user agent "restclient", a POST with its one Content-Type header), and with
// the waits bounded:
// - a request gives up (code 28) when its connection is not made within `timeout`
//   seconds or its transfer moves no byte for that long; a roster whose bytes keep
//   coming is never cut off;
// - after such a time-out the server is left alone for `janela`: requests in that
//   window are not sent and come back as code 28 at once;
// - once `paradas` counts a stop request, a request in flight ends within about a
//   second (code -1), until ultimaTentativa();
// - the stop as a whole has limits, counted from the first stop request seen (or from
//   ultimaTentativa() after the end of input): no request starts after `limiteFinal`
//   (code -1 at once), the one in flight ends at `limiteDuro`, and one more stop
//   request ends it at once (code -1 within about a second).
// A `timeout` of 0 turns the others off, not the stop's limits: every wait is then
// libcurl's own, and the first stop request lets a request in flight finish. The
// question at an entry (pergunta) has a bound of its own, `esperaEntrada`, on the whole
// exchange, whatever `timeout` says; its time-out opens the quiet window like any other.
//
// With a board name (`placa` not empty), every request carries `Catraca-Board: <placa>`.
//
// Thread safety: one thread. Holds no connection between requests.
class Servidor {
  public:
    struct Ajustes {
        // Seconds; 0 waits without limit, as libcurl does by default.
        int timeout = 10;
        // Certificate authorities for an https:// address; empty: the system's.
        std::string cacert;
        // The board's client certificate and key (PEM) for an https:// address; empty:
        // none.
        std::string cert;
        std::string key;
        std::chrono::milliseconds janela{60000};
        // How many stop requests came so far; empty: none ever comes.
        std::function<unsigned()> paradas;
        // The stop: no request starts after `limiteFinal`, and the one in flight, which
        // the server may have stored already, may run until `limiteDuro`; the whole stop
        // must end within the 30 s that the board's unit gives it (TimeoutStopSec).
        std::chrono::milliseconds limiteFinal{20000};
        std::chrono::milliseconds limiteDuro{25000};
        // The board's name (see nomeDePlacaValido); empty: no header, as always.
        std::string placa;
        // Seconds the question at an entry may take, from connecting to the last byte.
        int esperaEntrada = 1;
    };

    explicit Servidor(Ajustes ajustes);

    // "ip:porta" as typed, which every request URL starts with.
    void setEndereco(const std::string& endereco);
    const std::string& getEndereco() const { return endereco; }

    RestClient::Response get(const std::string& caminho);
    // The same GET with its body handed to `corpo` piece by piece as it arrives (the
    // Response's body stays empty). `interrompe`, when given, is polled with the stop
    // check, at least once a second, and ends the request (code -1) once it returns
    // true, whatever the time-out says.
    RestClient::Response get(const std::string& caminho, RestClient::Connection::BodySink corpo,
                             std::function<bool()> interrompe = {});
    // POST of `corpo` with Content-Type application/json.
    RestClient::Response post(const std::string& caminho, const std::string& corpo);
    // The same POST with one more header, `Idempotency-Key: "<chave>"`; `chave` holds
    // no quote or backslash.
    RestClient::Response post(const std::string& caminho, const std::string& corpo,
                              const std::string& chave);

    // The POST of `corpo` that asks whether an entry may pass, given up (code 28) when
    // its answer is not whole within `esperaEntrada` seconds; `chave`, when not null, is
    // sent as with post().
    RestClient::Response pergunta(const std::string& caminho, const std::string& corpo,
                                  const std::string* chave);

    // Starts the last attempt after a stop: the stop that ended the loop no longer
    // ends a request, and the quiet window is closed, so that only a new time-out, the
    // stop's limits, or one more stop request end the remaining requests. When the loop
    // ended without a stop request (the end of input), the first one ends the attempt.
    void ultimaTentativa();

  private:
    // `limite`: seconds the whole exchange may take; 0 for none.
    RestClient::Response envia(const std::string& caminho, const std::string* corpo,
                               const std::string* chave, int limite = 0,
                               RestClient::Connection::BodySink recebe = {},
                               std::function<bool()> interrompe = {});
    // Starts the stop's clock at the first stop request seen.
    void notaParada();
    // True once the stop is over for a request: `fim` (fimUltima for one not started,
    // fimDuro for one in flight) went by, or a stop request came beyond `paradasAntes`.
    bool paradaEsgotada(std::chrono::steady_clock::time_point fim) const;
    unsigned paradas() const { return ajustes.paradas ? ajustes.paradas() : 0; }

    Ajustes ajustes;
    std::string endereco;
    bool ultima = false;
    bool parando = false;
    unsigned paradasAntes = 0;
    std::chrono::steady_clock::time_point fimUltima;
    std::chrono::steady_clock::time_point fimDuro;
    bool emSilencio = false;
    std::chrono::steady_clock::time_point silencioAte;
};

#endif
