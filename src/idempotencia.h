#ifndef CATRACA_IDEMPOTENCIA_H
#define CATRACA_IDEMPOTENCIA_H

#include <cstdint>
#include <string>

// Idempotency keys of the event uploads (with --idempotency-keys). A key names one
// credit event of one board, so that a server that remembers keys stores an event
// once however often its upload is repeated:
//
//     <board>-<event>
//
// <board> is the board's identity, 32 lowercase hexadecimal digits (128 random bits),
// drawn once and kept in the journal, or drawn for each run without a journal; two
// boards never share one. <event> is the event's number in decimal: its journal id
// (never reused), or a count from 1 of the run's admissions without a journal. The
// key holds only [0-9a-f-], so it goes into the header's quoted string unescaped.

// A fresh board identity from the system's random source.
std::string novaIdentidadePlaca();

// The key of event `numero` of board `placa`.
std::string chaveIdempotencia(const std::string& placa, int64_t numero);

#endif
