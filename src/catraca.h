#ifndef CATRACA_CATRACA_H
#define CATRACA_CATRACA_H

#include <string>

#include "list.h"

// The controller of the two turnstiles. It holds the server address typed at
// start-up and three lists that every student is in exactly one of:
// `lista` (outside, nothing to upload), `listaDentro` (inside) and
// `listaAtualiza` (outside, with events the server has not accepted yet).
//
// `status` is 0 until start() runs, then 1 (roster loaded, all three lists exist)
// or -1 (the load failed, no list exists).
//
// Ownership: the controller owns the three lists and, through them, the students;
// destroying it frees them all.
class Catraca {
  public:
    Catraca();
    ~Catraca();
    Catraca(const Catraca&) = delete;
    Catraca& operator=(const Catraca&) = delete;

    // Asks for the server's address and port and loads the roster; leaves status
    // at 1 or -1.
    void start();
    // The turnstile console loop; call only when getStatus() is 1.
    void run();
    int getStatus();
    std::string getServerIP();
    int getServerPort();

  private:
    std::string serverIP;
    int serverPort;
    List* lista;
    List* listaDentro;
    List* listaAtualiza;
    int status;
};

#endif
