#ifndef CATRACA_TESTS_TURNSTILE_H
#define CATRACA_TESTS_TURNSTILE_H

// What the controller's tests share: a roster builder, a loopback server that plays
// the three exchanges, and the console text the controller writes, built piece by
// piece so that a whole session can be compared byte for byte.

#include <functional>
#include <string>
#include <vector>

#include "support/recording_server.h"
#include "support/scripted_server.h"

namespace turnstile {

struct Row {
    std::string card;
    int user;
    int event;
};

// A roster body: one JSON object per row with all six keys.
std::string roster(const std::vector<Row>& rows);

// Answers GET /transaction with `rosterBody` (status `rosterStatus`), every event
// upload with `upload(request)`'s reply, every online entry with `entrada(request)`'s
// (404 unless set), POST /contador with `contadorStatus`.
class Server {
  public:
    Server();
    std::string address() const { return http.address(); }
    std::string port() const { return std::to_string(http.port()); }
    // Requests after the roster download.
    std::vector<testsupport::RecordedRequest> updates() const;

    std::string rosterBody = "[]";
    int rosterStatus = 200;
    std::function<testsupport::Reply(const testsupport::RecordedRequest&)> upload;
    std::function<testsupport::Reply(const testsupport::RecordedRequest&)> entrada;
    int contadorStatus = 201;
    testsupport::RecordingServer http;
};

// Console text, byte for byte.
extern const std::string kCard;         // after the turnstile number
extern const std::string kFound;        // entry, found outside
extern const std::string kFoundUpdate;  // entry, found awaiting upload
extern const std::string kNotFound;
extern const std::string kNoCredit;
extern const std::string kCountRefused;
extern const std::string kUpdated;  // the empty line and "servidor atualizado"
extern const std::string kAlone;    // online, an entry decided without the server

std::string startup(const std::string& ip, const std::string& port);
std::string loadFailure(const std::string& ip, const std::string& port, int code);
std::string admitted(int credit);
std::string exited(int credit);
// The line after the last upload attempt when `events` events are still pending.
std::string undelivered(int events);
// The line of an upload of `user` refused for good with status `code`.
std::string refusedForGood(int user, int code);
// One redraw: the students outside, those awaiting upload, and those inside, each
// as "User <id> Credito <c>" lines.
std::string screen(const std::vector<std::string>& outside,
                   const std::vector<std::string>& awaiting,
                   const std::vector<std::string>& inside);
std::string user(int id, int credit);
// `out` with every screen taken out, prompt included: only the lines the passes wrote.
std::string withoutScreens(std::string out);
// The requests a scripted server saw, in order, one word each: "G" a roster download,
// "C<n>" a head-count of n, "U<user>" an event upload, "E<user>" an online entry.
std::string requestCodes(const std::vector<testsupport::ScriptedRequest>& requests);

}  // namespace turnstile

#endif
