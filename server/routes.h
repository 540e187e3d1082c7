#ifndef RU_SERVER_ROUTES_H
#define RU_SERVER_ROUTES_H

#include <httplib.h>

#include <cstddef>
#include <string>

#include "store.h"

namespace ru {

// The largest request body accepted; a larger one is answered 413 and never parsed.
constexpr std::size_t kMaxBodyBytes = 64 * 1024;

// Installs the HTTP interface of ru-server on `server`, answering from `store`, which must
// outlive every request the server handles:
//   GET  /transaction            200, the roster: a JSON array of every stored transaction
//                                in insertion order, sent in chunks as it is read
//   POST /transaction/<user_id>  body {"event_id": <int>}; 201 once the new transaction is
//                                committed, with {"user_id", "event", "credit"}
//   POST /contador               body {"v": <int >= 0>}; 201 once committed, with {"v"}
//   GET  /contador               200 {"v": N}, the latest report, with its time as
//                                Last-Modified; before any report {"v": 0} and no
//                                Last-Modified (everyone starts outside)
// HEAD works wherever GET does. Refusals store nothing and carry {"error": "<text>"}:
// 400 body not JSON, key missing, value not an integer in range; 404 unknown path or user;
// 405 wrong method, with Allow; 413 body over kMaxBodyBytes; 422 an event that would take
// the student's credit outside the signed 32-bit range; 500 a database failure.
// Also sets what goes with the routes: the body limit, the error bodies, and a listening
// socket that no other server can share.
void installRoutes(httplib::Server& server, Store& store);

// The log line of one request, without a line end: method, target as sent (bytes outside
// printable ASCII percent-encoded, so a line is always one line), status.
std::string requestLogLine(const httplib::Request& req, const httplib::Response& res);

}  // namespace ru

#endif
