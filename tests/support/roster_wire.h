#ifndef CATRACA_TESTS_ROSTER_WIRE_H
#define CATRACA_TESTS_ROSTER_WIRE_H

#include <string>

// The bytes of the roster cursor exchange (README, the exchange table), written once for
// the tests of both programs: the board's, which script the server, and the server's,
// which answer a board.
namespace wire {

// The answer's header naming how far that roster goes.
constexpr const char* kRosterCursor = "Roster-Cursor";
// The answer's header echoing the token that the rows after it continue.
constexpr const char* kRosterAfter = "Roster-After";
// The request for the rows after `token`.
inline std::string rosterAfter(const std::string& token) {
    return "/transaction?after=" + token;
}

// Whether `token` is one a server may offer: 1 to 255 bytes of [A-Za-z0-9._:-].
inline bool isCursorToken(const std::string& token) {
    if (token.empty() || token.size() > 255) {
        return false;
    }
    for (const char c : token) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && c != '.' && c != '_' && c != ':' && c != '-') {
            return false;
        }
    }
    return true;
}

}  // namespace wire

#endif
