#ifndef CATRACA_ATUALIZACAO_H
#define CATRACA_ATUALIZACAO_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "list.h"
#include "servidor.h"
#include "transacoes.h"

// One roster download, read as its bytes arrive (never held whole).
struct Carga {
    // The answer's status, or the client's failure code (a body cut short, a reset
    // half-way or a time-out fails the whole download, whatever was read).
    int codigo = 0;
    // With codigo 200: "" when the body is a roster, else why it was refused.
    std::string motivo;
    // The answer continues the cursor that was sent (its Roster-After echoes it): its
    // rows are those committed since, not a whole roster.
    bool delta = false;
    // The answer's Roster-Cursor when well formed (see cursorValido), else "".
    std::string cursor;
    // With codigo 200 and motivo "": the rows, folded by user; a delta's sums continue
    // the server's sums that the board holds.
    std::unique_ptr<LeitorTransacoes> leitor;
};

// A cursor as the server may offer it: 1 to 255 bytes of [A-Za-z0-9._:-], so that it
// goes into a query without escaping.
bool cursorValido(const std::string& cursor);

// Downloads the roster through `servidor`: GET /transaction, or with a cursor
// GET /transaction?after=<cursor>. An answer that continues the cursor is read as a
// delta, from the sums the students of `listas` hold (the first event of each student's
// queue: its server rows as of the last download). `interrompe` as Servidor::get.
Carga baixaTransacoes(Servidor& servidor, const std::string& cursor,
                      const std::vector<List*>& listas, std::function<bool()> interrompe = {});

// Brings the students of the three lists up to date with the users `lidos` of a
// download (delta or whole), in one pass over each list and one over `lidos`:
// - a student already known gets one event holding its user's new sum (its server
//   rows), followed by its pending events (the newest contEvent of its queue, which
//   stay queued and pending): its credit is the server's rows plus what the server has
//   not acknowledged, and its own acknowledged uploads, which come back among the
//   server's rows, count once. A whole roster also gives it the texts of its first row;
//   a delta leaves them (the first row of its history is still the first). It stays in
//   the list it is in;
// - a user not known yet joins `lista` at its tail, in order of first rows;
// - a student absent from `lidos` stays as it is.
// Returns "" when done; else why nothing changed (a credit would leave the signed
// 32-bit range). `lidos` is emptied either way.
std::string atualizaAlunos(std::vector<LeitorTransacoes::Usuario>& lidos, bool delta, List& lista,
                           List& listaDentro, List& listaAtualiza);

#endif
