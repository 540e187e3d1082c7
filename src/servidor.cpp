#include "servidor.h"

#include <utility>

Servidor::Servidor(Ajustes a) : ajustes(std::move(a)) {}

void Servidor::setEndereco(const std::string& e) {
    endereco = e;
}

RestClient::Response Servidor::get(const std::string& caminho) {
    return envia(caminho, nullptr, nullptr);
}

RestClient::Response Servidor::get(const std::string& caminho,
                                   RestClient::Connection::BodySink corpo,
                                   std::function<bool()> interrompe) {
    return envia(caminho, nullptr, nullptr, 0, std::move(corpo), std::move(interrompe));
}

RestClient::Response Servidor::post(const std::string& caminho, const std::string& corpo) {
    return envia(caminho, &corpo, nullptr);
}

RestClient::Response Servidor::post(const std::string& caminho, const std::string& corpo,
                                    const std::string& chave) {
    return envia(caminho, &corpo, &chave);
}

RestClient::Response Servidor::pergunta(const std::string& caminho, const std::string& corpo,
                                        const std::string* chave) {
    return envia(caminho, &corpo, chave, ajustes.esperaEntrada);
}

void Servidor::ultimaTentativa() {
    ultima = true;
    notaParada();
    emSilencio = false;
}

void Servidor::notaParada() {
    if (parando || (!ultima && paradas() == 0)) {
        return;
    }
    parando = true;
    // The request that ended the loop counts as the first; any beyond it ends the stop.
    paradasAntes = paradas() > 0 ? 1 : 0;
    auto agora = std::chrono::steady_clock::now();
    fimUltima = agora + ajustes.limiteFinal;
    fimDuro = agora + ajustes.limiteDuro;
}

bool Servidor::paradaEsgotada(std::chrono::steady_clock::time_point fim) const {
    return parando && (paradas() > paradasAntes || std::chrono::steady_clock::now() >= fim);
}

RestClient::Response Servidor::envia(const std::string& caminho, const std::string* corpo,
                                     const std::string* chave, int limite,
                                     RestClient::Connection::BodySink recebe,
                                     std::function<bool()> interrompe) {
    notaParada();
    if ((ultima || ajustes.timeout == 0) && paradaEsgotada(fimUltima)) {
        RestClient::Response r;
        r.code = -1;
        r.body = "Not sent: the stop's time is over.";
        return r;
    }
    if (emSilencio && std::chrono::steady_clock::now() < silencioAte) {
        RestClient::Response r;
        r.code = 28;
        r.body = "Not sent: the server timed out a moment ago.";
        return r;
    }
    emSilencio = false;

    RestClient::Connection conn("");
    if (!ajustes.placa.empty()) {
        conn.AppendHeader("Catraca-Board", ajustes.placa);
    }
    if (corpo != nullptr) {
        conn.AppendHeader("Content-Type", "application/json");
    }
    if (chave != nullptr) {
        conn.AppendHeader("Idempotency-Key", "\"" + *chave + "\"");
    }
    // Without a time-out every wait is as long as libcurl's own, and a request in
    // flight may complete after a stop, but only within the stop's limits: the board's
    // unit kills a stop that takes longer.
    if (ajustes.timeout > 0) {
        conn.SetConnectTimeout(ajustes.timeout);
        conn.SetStallTimeout(ajustes.timeout);
    }
    if (limite > 0) {
        conn.SetTimeout(limite);
    }
    if (ultima || (ajustes.timeout == 0 && ajustes.paradas)) {
        conn.SetAbortCheck([this, interrompe] {
            notaParada();
            return paradaEsgotada(fimDuro) || (interrompe && interrompe());
        });
    } else if (ajustes.timeout > 0 && ajustes.paradas) {
        conn.SetAbortCheck(
            [this, interrompe] { return paradas() > 0 || (interrompe && interrompe()); });
    } else if (interrompe) {
        conn.SetAbortCheck(interrompe);
    }
    if (recebe) {
        conn.SetBodySink(std::move(recebe));
    }
    if (!ajustes.cacert.empty()) {
        conn.SetCAInfoFilePath(ajustes.cacert);
    }
    if (!ajustes.cert.empty()) {
        conn.SetCertPath(ajustes.cert);
        conn.SetKeyPath(ajustes.key);
        // None: a key with a pass phrase must fail, not make OpenSSL ask on the console.
        conn.SetKeyPassword("");
    }
    RestClient::Response r =
        corpo != nullptr ? conn.post(endereco + caminho, *corpo) : conn.get(endereco + caminho);
    if (r.code == 28) {
        emSilencio = true;
        silencioAte = std::chrono::steady_clock::now() + ajustes.janela;
    }
    return r;
}
