#ifndef RU_SERVER_OVERDRAWN_COMMAND_H
#define RU_SERVER_OVERDRAWN_COMMAND_H

#include <ostream>
#include <string>
#include <vector>

#include "store.h"

namespace ru {

// `ru-server overdrawn --db DB [--db-schema NAME]`: the administrator's list of the
// students whose credit an upload (a board's decision taken without the server) left
// below zero, while it still is. Reads the database directly: no network. `args` are the
// words after "overdrawn". Writes the list to `out`, a usage error or a failure as one
// line to `err`; returns the exit status (0, 1 when the database fails, 2 for bad
// options).
int overdrawnCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The list as the command writes it: a header line, then one line per student, its
// fields separated by tabs: user_id, matricula, credit, times (uploads that left it
// below zero), last (the last of them, local time, ISO 8601 with its offset) and board
// (the board that sent it; "-" for the unnamed board).
std::string overdrawnListing(const std::vector<OverdrawnStudent>& students);

}  // namespace ru

#endif
