#ifndef CATRACA_TRANSACOES_H
#define CATRACA_TRANSACOES_H

#include <cstddef>
#include <string>

#include "list.h"

// Reads the roster body (a JSON array of transaction objects, each with "cardID",
// "user_id", "event", "matricula", "salt" and "n_password_hash") and appends one
// Student per row to `destino`, where rows of one user merge into one student.
//
// Returns "" when every row was loaded. Otherwise returns why the roster was
// rejected, as one ISO-8859-1 phrase naming the element; `destino` then holds the
// rows read before the fault, and the caller discards it whole.
//
// A row is rejected when it is not an object, lacks a key, carries a value of
// another JSON type (numbers must be integers), an integer outside the signed
// 32-bit range, or when it would take its user's summed credit out of that range.
// Other keys are ignored. A body with anything but white space after the array (a NUL
// byte included) is not JSON.
//
// The body is never held as a document tree. A roster of the common form (the six
// keys with plain values, strings without escapes) is read in one pass with simdjson;
// any other body, every refused one included, is read again by nlohmann-json's stream
// reader, whose verdict and reason are final. When `corpo` has at least
// RestClient::Helpers::kFolgaCorpo spare bytes of capacity (as a downloaded body of
// announced size has), it is read in place, and a few of its bytes are changed while
// it is read and put back before the return; otherwise it is copied once. Later rows
// of a user already read go straight into that student's queue, without a Student of
// their own. The body is parsed in pieces of at least `pedaco` bytes cut between rows,
// so that beside the body the parser holds only the index of one piece (tests use
// small pieces to cross many cuts).
constexpr size_t kPedacoTransacoes = 1 << 20;
std::string carregaTransacoes(std::string& corpo, List& destino, size_t pedaco = kPedacoTransacoes);

#endif
