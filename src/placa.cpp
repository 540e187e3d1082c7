#include <unistd.h>

#include <iostream>

#include "catraca.h"
#include "console.h"

int main() {
    // The console is read through a buffer that a stop signal can interrupt.
    console::Entrada entrada(STDIN_FILENO);
    std::streambuf* original = std::cin.rdbuf(&entrada);
    // And written through a buffer that survives a write interrupted by that signal.
    console::Saida saida(STDOUT_FILENO);
    std::streambuf* originalSaida = std::cout.rdbuf(&saida);
    console::instalaParada();

    Catraca* catraca = new Catraca();
    catraca->start();
    int resultado = 0;
    if (catraca->getStatus() != 1) {
        std::cout << "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?"
                  << std::endl;
    } else {
        catraca->run();
        // Events that never reached the server make the end a failure.
        resultado = catraca->contaPendentes() == 0 ? 0 : 1;
    }
    delete catraca;
    std::cin.rdbuf(original);
    std::cout.flush();
    std::cout.rdbuf(originalSaida);
    return resultado;
}
