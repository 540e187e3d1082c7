#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "catraca.h"
#include "console.h"
#include "descritores.h"
#include "idempotencia.h"
#include "journal.h"
#include "opcoes.h"
#include "servidor.h"

int main(int argc, char* argv[]) {
    if (!abreDescritoresPadrao()) {
        return 1;
    }
    LeituraOpcoes l = leOpcoes(argc, argv);
    if (l.acao == LeituraOpcoes::Erro) {
        std::cerr << l.erro << std::endl;
        return 2;
    }
    if (l.acao != LeituraOpcoes::Executa) {
        std::cout << (l.acao == LeituraOpcoes::Ajuda ? kAjuda : kVersao) << std::flush;
        return 0;
    }
    std::unique_ptr<Journal> journal;
    if (!l.opcoes.journal.empty()) {
        std::string erro;
        journal = Journal::abre(l.opcoes.journal, &erro);
        if (!journal) {
            std::cout << "N\xE3o foi poss\xEDvel abrir o di\xE1rio de eventos " << l.opcoes.journal
                      << ": " << erro << std::endl;
            return 1;
        }
    }

    std::string placa;
    if (l.opcoes.chaves) {
        std::string erro;
        placa = journal ? journal->placa(&erro) : novaIdentidadePlaca();
        if (placa.empty()) {
            std::cout << "N\xE3o foi poss\xEDvel abrir o di\xE1rio de eventos " << l.opcoes.journal
                      << ": " << erro << std::endl;
            return 1;
        }
    }

    // The console is read through a buffer that a stop signal can interrupt.
    console::Entrada entrada(STDIN_FILENO);
    std::streambuf* original = std::cin.rdbuf(&entrada);
    // And written through a buffer that survives a write interrupted by that signal.
    console::Saida saida(STDOUT_FILENO);
    std::streambuf* originalSaida = std::cout.rdbuf(&saida);
    console::instalaParada();

    Servidor::Ajustes ajustes;
    ajustes.timeout = l.opcoes.timeout;
    ajustes.cacert = l.opcoes.cacert;
    ajustes.cert = l.opcoes.cert;
    ajustes.key = l.opcoes.key;
    ajustes.paradas = console::pedidosDeParada;
    ajustes.placa = l.opcoes.nomePlaca;
    ajustes.esperaEntrada = l.opcoes.esperaEntrada;
    Catraca* catraca =
        new Catraca(ajustes, journal.get(), l.opcoes.refresh, placa,
                    std::chrono::milliseconds(l.opcoes.sync < 0 ? -1 : l.opcoes.sync * 1000L));
    catraca->setOnline(l.opcoes.online);
    catraca->start();
    int resultado = 0;
    if (catraca->getStatus() != 1) {
        std::cout << "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?"
                  << std::endl;
    } else {
        catraca->run();
        // Events that never reached the server, or that it would get twice, make the
        // end a failure.
        resultado = catraca->tudoEntregue() ? 0 : 1;
    }
    delete catraca;
    std::cin.rdbuf(original);
    std::cout.flush();
    std::cout.rdbuf(originalSaida);
    return resultado;
}
