#include <iostream>

#include "catraca.h"

int main() {
    Catraca* catraca = new Catraca();
    catraca->start();
    if (catraca->getStatus() != 1) {
        std::cout << "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?"
                  << std::endl;
        delete catraca;
        return 0;
    }
    catraca->run();
    delete catraca;
    return 0;
}
