#include "catraca.h"

// The lists inside and awaiting upload start null as well: the destructor frees
// whatever exists, and only a successful load creates them.
Catraca::Catraca()
    : serverIP(""),
      serverPort(0),
      lista(nullptr),
      listaDentro(nullptr),
      listaAtualiza(nullptr),
      status(0) {}

Catraca::~Catraca() {
    delete lista;
    delete listaDentro;
    delete listaAtualiza;
}

// The roster load needs the HTTP client; until it exists, start reports a failed load.
void Catraca::start() {
    status = -1;
}

void Catraca::run() {}

int Catraca::getStatus() {
    return status;
}
std::string Catraca::getServerIP() {
    return serverIP;
}
int Catraca::getServerPort() {
    return serverPort;
}
