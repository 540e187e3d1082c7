#ifndef CATRACA_ATUALIZACAO_H
#define CATRACA_ATUALIZACAO_H

#include "list.h"

// Brings the students of the three lists up to date with `nova`, a roster loaded
// afresh, in one pass over each list and one over `nova`:
// - a student already known takes the card and the other fields of its new rows,
//   and its credit becomes the sum of those rows plus its pending events (the newest
//   contEvent of its queue, which stay queued and pending): nothing admitted is
//   counted twice or forgotten. It stays in the list it is in;
// - a student not known yet joins `lista` at its tail, in roster order;
// - a student absent from `nova` stays as it is.
//
// Ownership: empties `nova`; its students are either merged (and freed) or moved to
// `lista`. The caller still owns (and frees) the empty `nova`.
void atualizaAlunos(List& nova, List& lista, List& listaDentro, List& listaAtualiza);

#endif
