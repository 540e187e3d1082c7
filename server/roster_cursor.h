#ifndef RU_SERVER_ROSTER_CURSOR_H
#define RU_SERVER_ROSTER_CURSOR_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ru {

// A roster cursor's token, as Roster-Cursor hands it to a board and ?after= brings it
// back: "<identity>-<check>-<position>", 1 to kMaxCursorBytes bytes of [A-Za-z0-9._:-] so
// that it goes into a query without escaping.
//   identity  the database's 32 hexadecimal digits (Store::identity): another database
//             never takes a token of this one;
//   check     8 hexadecimal digits that a restored backup does not reproduce (see the back
//             ends): a token of the database before the restore is not continued;
//   position  how far the roster goes, in the back end's own terms: "s" and the last
//             sequence number in SQLite, "r", the last sequence number and a snapshot in
//             PostgreSQL.
// Numbers in a position are in base 36 (digits, then lower-case letters), without
// leading zeros. The token is opaque to the board; only its store reads it.
struct CursorToken {
    std::string identity;
    std::uint32_t check = 0;
    std::string position;
};

constexpr std::size_t kMaxCursorBytes = 255;

// The token's text, or "" when it would be longer than kMaxCursorBytes.
std::string formatCursor(const CursorToken& token);
// The parts of a token of formatCursor's form, or nothing for any other text.
std::optional<CursorToken> parseCursor(std::string_view text);

// `n` in base 36, and back (nothing unless the text is that of a number below 2^62).
std::string base36(std::uint64_t n);
std::optional<std::uint64_t> parseBase36(std::string_view text);

// The 32-bit FNV-1a hash of `bytes`, continuing from `hash`: the same on every machine and
// in every version, as a check that travels in tokens must be.
constexpr std::uint32_t kFnvBasis = 2166136261u;
std::uint32_t fnv1a(std::string_view bytes, std::uint32_t hash = kFnvBasis);

// A PostgreSQL snapshot (pg_snapshot): every transaction below xmin has ended, none from
// xmax on had begun, and those of xip (ascending, from xmin to below xmax) were running.
struct PgSnapshot {
    std::uint64_t xmin = 0;
    std::uint64_t xmax = 0;
    std::vector<std::uint64_t> xip;
};

// pg_snapshot's text form, "xmin:xmax:xip,xip,...", both ways; parsing accepts only a
// snapshot that PostgreSQL would (xmin from 1, xmin <= xmax, xip ascending within
// [xmin, xmax)).
std::optional<PgSnapshot> parsePgSnapshot(std::string_view text);
std::string pgSnapshotText(const PgSnapshot& snapshot);

// A snapshot as a token's position: "x<xmin>.<xmax - xmin>" and, for each running
// transaction, ".<gap>" (its distance from xmin for the first, from the one before less
// one for the others), all in base 36, so that some hundred running transactions fit
// in a token. And back: nothing for any other text.
std::string pgSnapshotPosition(const PgSnapshot& snapshot);
std::optional<PgSnapshot> parsePgSnapshotPosition(std::string_view position);

// A PostgreSQL roster's position: its last row (the sequence number; 0 for an empty roster)
// and its snapshot, "r<last row>.<xmin>.<xmax - xmin>" and the gaps, in base 36 as above.
struct PgPosition {
    std::uint64_t lastRow = 0;
    PgSnapshot snapshot;
};
std::string pgPositionText(const PgPosition& position);
std::optional<PgPosition> parsePgPosition(std::string_view text);

}  // namespace ru

#endif
