#ifndef CATRACA_ADMISSAO_H
#define CATRACA_ADMISSAO_H

#include <string>

#include "servidor.h"
#include "student.h"

// The online entry (catraca --online): before the turnstile opens, the board asks the
// server, whose committed credit is the truth while it answers, with
//
//     POST /entrada/<user_id>   {"event_id": -1}   (the event upload's own bytes)
//
// and the event's idempotency key when keys are on. 201 means the server stored the
// event (nothing is left to upload for it), 409 that the credit it holds does not
// cover it (nothing stored); both carry that credit. Anything else, or nothing within
// the question's own bound, leaves the decision to the board.

struct Veredito {
    enum Tipo {
        Admite,   // 201: the event is stored; the student goes in
        Recusa,   // 409: too little committed credit; nothing stored
        Sozinho,  // any other answer, or none in time: the board decides alone
    };
    Tipo tipo = Sozinho;
    // The student's committed credit on the server (the stored event included, after
    // a 201), when the answer's "credit" was an integer of 32 bits.
    bool comCredito = false;
    int credito = 0;
};

// Asks whether `userID` may pass; `chave` is the event's idempotency key, or "".
Veredito perguntaEntrada(Servidor& servidor, int userID, const std::string& chave);

// The credit of `s` without its pending events: what the server holds, as far as the
// board knows.
long long creditoAssentado(Student* s);

// Makes `credito`, the server's, the part of `s`'s credit that is not pending: its first
// event (the server's rows as of the last download, which a delta continues) stays, the
// events between it and the pending ones become one event that makes up the difference,
// and its credit is `credito` plus its pending events, which stay queued and pending.
// False, with nothing changed, when a sum leaves the range of an int.
bool assumeCredito(Student* s, long long credito);

#endif
