#ifndef RU_SERVER_ROUTES_H
#define RU_SERVER_ROUTES_H

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access.h"
#include "metrics.h"
#include "occupancy.h"
#include "store.h"

namespace ru {

// The largest request body accepted; a larger one is answered 413 and never parsed.
constexpr std::size_t kMaxBodyBytes = 64 * 1024;
// The longest request target accepted; a longer one is answered 414.
constexpr std::size_t kMaxTargetBytes = 8 * 1024;

// One request as the routes see it, its body already read whole.
struct Request {
    std::string method;
    std::string target;                      // as sent: path, and query if any
    std::optional<std::string> contentType;  // nothing when the header is absent
    std::string body;
    // The value of every Idempotency-Key field, when the server honours keys; empty
    // otherwise, and then the request is answered as if it carried none.
    std::vector<std::string> idempotencyKeys;
    // Whether the server offers roster cursors (ru-server --roster-cursors): GET
    // /transaction then answers with Roster-Cursor, and with ?after=<token> the rows after it.
    bool rosterCursors = false;
    // The value of every Catraca-Board field: the name of the board that sent it.
    std::vector<std::string> boardNames = {};
    // The name the client's certificate gives it (its subject's common name), when it
    // showed one that the server verified; then Catraca-Board is ignored.
    std::optional<std::string> certifiedBoard = std::nullopt;
    // When the request was made, which the transport does once its body is in: a write
    // waits for the database at most the store's write wait counted from then, however
    // long it queued behind other writes.
    Clock::time_point arrived = Clock::now();
    // What the client may do (access.h), which the transport decides for its connection.
    // Each route needs one role, with HEAD and OPTIONS as its GET:
    //   board   GET /transaction, POST /transaction/<user_id>, POST /contador
    //   viewer  GET /, GET /web/<file>, GET /painel, GET /contador
    //   metrics reader  GET /metrics
    // No route needs the administrator: credit is added on the server's own machine with
    // `ru-server credit`.
    Roles roles = kBoard | kViewer;
    // The server's counters: the routes count what they store, and GET /metrics shows
    // them. Null: nothing is counted and /metrics is an unknown path.
    Metrics* metrics = nullptr;
};

// Whether `request` will write to the store: a board's POST to an upload, to the
// head-count or (when `online`) to an online entry that passes every check made before
// the store. The transport runs these on lanes that take
// at most half its workers, one write at a time on each, so that writes waiting for the
// database's lock never hold up reads or requests refused before the store. It parses the
// body.
bool isWrite(const Request& request, bool online);

// The longest idempotency key accepted, unescaped.
constexpr std::size_t kMaxIdempotencyKeyBytes = 255;

// One answer. When `roster` is set, its text is the body, sent in chunks as it is read;
// `chunked` is then set too (and also, without a roster, in the answer to a HEAD of it).
// Content-Length and the framing are the transport's business.
struct Reply {
    int status = 200;
    std::string contentType;  // empty: no Content-Type
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::unique_ptr<RosterStream> roster;
    bool chunked = false;
};

// The HTTP interface of ru-server, answering from `store`; it may wait on the database:
//   GET  /transaction            200, the roster: a JSON array of every stored transaction
//                                in insertion order, sent in chunks as it is read. With
//                                request.rosterCursors, also the header Roster-Cursor (the
//                                token of how far it goes, when the store can give one)
//   GET  /transaction?after=<token>  with request.rosterCursors, 200 with the rows committed
//                                since that token's position, Roster-Cursor, and
//                                Roster-After: <token>, when the store knows the token; the
//                                whole roster as above otherwise (see
//                                Store::openRosterWithCursor)
//   POST /transaction/<user_id>  body {"event_id": <int>}; 201 once the new transaction is
//                                committed, with {"user_id", "event", "credit"}
//   POST /entrada/<user_id>      only when `online`: an online entry, body
//                                {"event_id": -1}; stores the event only if the student's
//                                committed credit covers it (at least 1), in the
//                                transaction that stores it: 201 as an upload, or 409
//                                {"error": "insufficient credit", "credit": C} with the
//                                committed credit C and nothing stored (the key not kept,
//                                so a question asked again is decided again); another
//                                event_id is 422. Without `online`, an unknown path (404)
//   POST /contador               body {"v": <int >= 0>}: the head-count of the board that
//                                sent it, replacing that board's earlier one; 201 once
//                                committed, with {"v"}
//   GET  /contador               200 {"v": N}, the restaurant's head-count: the sum of
//                                each board's latest report, with the time of the latest
//                                of them as Last-Modified; before any report {"v": 0} and
//                                no Last-Modified (everyone starts outside)
//   GET  /                       200, the occupancy page (HTML, UTF-8), which reads /painel
//                                every second; its script, style and chart library are
//                                the files under /web/ (server/web, built into the program)
//   GET  /painel                 200, the page's data at this moment, never cached:
//                                {"date": "2026-12-07", "now": <local time>,
//                                 "headcount": N (the restaurant's, as GET /contador;
//                                   0 before any report),
//                                 "last_report": <local time> or null (the latest head-count
//                                   or event that arrived),
//                                 "open": bool (now within `hours`),
//                                 "silent": bool (open, and no report for 10 minutes
//                                   counted from the opening at the earliest),
//                                 "opening_hours": "10:30-14:00,17:00-20:30",
//                                 "meals_today": N (events of -1 that arrived today),
//                                 "slot_minutes": 15,
//                                 "slots": [{"start": "HH:MM", "meals": N,
//                                   "headcount": highest head-count known in the slot, or
//                                   null for a slot to come or before any report}, ...],
//                                 "boards": [{"board": name ("" the unnamed board),
//                                   "headcount": N, "last_report": <local time>,
//                                   "silent": bool (as above, from its own last report)},
//                                   ...] (every board that ever reported, by name),
//                                 "overdrawn": N (students marked overdrawn whose credit
//                                   is still below zero)}
//                                Days and times are the server's local ones; a local time is
//                                ISO 8601 with its offset, "2026-12-07T11:45:07-03:00". No
//                                student appears in it.
//   GET  /metrics                200, request.metrics in the Prometheus text format
//                                (kMetricsContentType), never cached
//   OPTIONS on a known path      204 with Allow
// HEAD works wherever GET does, with the same header. Paths are matched byte for byte,
// without decoding; a query string is ignored but for the roster's after= above, which
// must be its one `after` parameter. A user id is canonical decimal: an optional minus sign, no
// leading zero, no plus sign, within the signed 32-bit range; anything else is no user.
// Range headers are ignored: every answer is whole. Refusals store nothing and carry
// {"error": "<text>"}, checked in this order: 404 unknown path; 403 a client without the
// route's role (neededRole); 405 wrong method (any method name), with Allow; 415 a POST
// body not sent as application/json; 400 body not JSON, key missing, value not an integer
// in range; 404 a user id not written as above; 422 an event other than -1 (a board only ever
// uploads an admission: no client adds credit); 404 unknown user; 422 an event that
// would take the student's credit outside the signed 32-bit range. A write whose wait for
// the database ran out (StoreBusy) is answered 503 and stored nothing; a request that
// could not reach the database, or a write whose commit it did not confirm
// (StoreUnavailable), is answered 503 too; any other StoreError is answered 500.
// An upload or online entry with an idempotency key (one Idempotency-Key field whose
// value is a quoted string of 1 to kMaxIdempotencyKeyBytes printable ASCII characters,
// escapes unfolded) stores the key with its event; the two routes share the keys, so an
// entry whose answer was lost and the later upload of its event store it once. A key
// already stored answers 201 with the body of its first answer when user and event are
// the same, 422 when they differ, and stores nothing. A malformed key (not one such
// string, or several fields) is refused with 400 before the body is parsed. Other routes
// ignore the field.
// An upload is a fact (the board served the meal): it is stored whatever the credit,
// within the 32-bit range, and one of a negative event that leaves the credit below zero
// marks the student overdrawn, with the time and the board.
// The board's routes (GET /transaction, POST /transaction/<id>, /entrada/<id> and
// /contador) take the board's name from the request (see Request::certifiedBoard and
// boardNames); a Catraca-Board field that is not one name of 1 to 64 printable ASCII
// characters without spaces is refused with 400 (after 404, 405 and OPTIONS). The
// viewers' routes ignore the field.
// The transport adds 400 (malformed request, no Host, a Transfer-Encoding not ending in
// chunked), 413 (body over kMaxBodyBytes), 414 (target over kMaxTargetBytes), 421 (a Host
// that is not one of the server's names) and 431 (header block too large) before any
// route runs.
// The page and its files are sent with a Content-Security-Policy that lets them load
// scripts, styles and data from the server alone, and refuse to be framed.
Reply route(Store& store, const Request& request, const OpeningHours& hours = OpeningHours{},
            bool online = false);

// A refusal with the JSON error body that the transport's own refusals also carry.
Reply refusal(int status, const std::string& message);
// The refusal for `status` with a generic message (for the transport's own refusals).
Reply refusal(int status);

// The label under which Metrics counts a request of `method` on `target` (as sent).
RouteLabel metricRoute(const std::string& method, const std::string& target, bool online);

// The standard reason phrase of `status` for a status line ("Not Found").
const char* reasonPhrase(int status);

// The log line of one request, without a line end: method, target as sent (bytes outside
// printable ASCII percent-encoded, so a line is always one line; "-" when empty), status,
// and "board=NAME" when the request named a board, by its certificate or its
// Catraca-Board field (encoded alike).
std::string requestLogLine(const std::string& method, const std::string& target, int status,
                           const std::string& board = "");

}  // namespace ru

#endif
