#include "roster_cursor.h"

#include <cstdio>

namespace ru {

namespace {

constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
constexpr std::size_t kIdentityDigits = 32;
constexpr std::size_t kCheckDigits = 8;

bool isLowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool isTokenByte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '_' || c == ':' || c == '-';
}

// Splits `text` at every `separator`.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 19 || (text[0] == '0' && text.size() > 1)) {
        return std::nullopt;
    }
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return n < kLimit ? std::optional<std::uint64_t>(n) : std::nullopt;
}

// What PostgreSQL accepts as a snapshot, and what a position must decode to.
bool wellFormed(const PgSnapshot& s) {
    if (s.xmin == 0 || s.xmin > s.xmax || s.xmax >= kLimit) {
        return false;
    }
    std::uint64_t floor = s.xmin;
    for (const std::uint64_t x : s.xip) {
        if (x < floor || x >= s.xmax) {
            return false;
        }
        floor = x + 1;
    }
    return true;
}

}  // namespace

std::string formatCursor(const CursorToken& token) {
    char check[kCheckDigits + 1];
    std::snprintf(check, sizeof check, "%08x", static_cast<unsigned>(token.check));
    std::string text = token.identity + "-" + check + "-" + token.position;
    return text.size() <= kMaxCursorBytes ? text : "";
}

std::optional<CursorToken> parseCursor(std::string_view text) {
    if (text.size() > kMaxCursorBytes) {
        return std::nullopt;
    }
    for (const char c : text) {
        if (!isTokenByte(c)) {
            return std::nullopt;
        }
    }
    const std::size_t first = text.find('-');
    const std::size_t second = first == std::string_view::npos ? first : text.find('-', first + 1);
    if (first != kIdentityDigits || second != kIdentityDigits + 1 + kCheckDigits ||
        second + 1 >= text.size()) {
        return std::nullopt;
    }
    CursorToken token;
    token.identity = std::string(text.substr(0, first));
    for (const char c : text.substr(0, second)) {
        if (c != '-' && !isLowerHex(c)) {
            return std::nullopt;
        }
    }
    for (const char c : text.substr(first + 1, kCheckDigits)) {
        token.check =
            token.check * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    token.position = std::string(text.substr(second + 1));
    return token;
}

std::string base36(std::uint64_t n) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[n % 36]);
        n /= 36;
    } while (n != 0);
    return text;
}

std::optional<std::uint64_t> parseBase36(std::string_view text) {
    if (text.empty() || text.size() > 12 || (text[0] == '0' && text.size() > 1)) {
        return std::nullopt;
    }
    std::uint64_t n = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'z') {
            digit = c - 'a' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        n = n * 36 + static_cast<std::uint64_t>(digit);
    }
    return n < kLimit ? std::optional<std::uint64_t>(n) : std::nullopt;
}

std::uint32_t fnv1a(std::string_view bytes, std::uint32_t hash) {
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

std::optional<PgSnapshot> parsePgSnapshot(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, ':');
    if (parts.size() != 3) {
        return std::nullopt;
    }
    PgSnapshot s;
    const auto xmin = parseDecimal(parts[0]);
    const auto xmax = parseDecimal(parts[1]);
    if (!xmin || !xmax) {
        return std::nullopt;
    }
    s.xmin = *xmin;
    s.xmax = *xmax;
    if (!parts[2].empty()) {
        for (const std::string_view x : split(parts[2], ',')) {
            const auto xid = parseDecimal(x);
            if (!xid) {
                return std::nullopt;
            }
            s.xip.push_back(*xid);
        }
    }
    return wellFormed(s) ? std::optional<PgSnapshot>(std::move(s)) : std::nullopt;
}

std::string pgSnapshotText(const PgSnapshot& snapshot) {
    std::string text = std::to_string(snapshot.xmin) + ":" + std::to_string(snapshot.xmax) + ":";
    for (std::size_t i = 0; i < snapshot.xip.size(); ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(snapshot.xip[i]);
    }
    return text;
}

std::string pgSnapshotPosition(const PgSnapshot& snapshot) {
    std::string text = "x" + base36(snapshot.xmin) + "." + base36(snapshot.xmax - snapshot.xmin);
    std::uint64_t floor = snapshot.xmin;
    for (const std::uint64_t x : snapshot.xip) {
        text += "." + base36(x - floor);
        floor = x + 1;
    }
    return text;
}

std::optional<PgSnapshot> parsePgSnapshotPosition(std::string_view position) {
    if (position.empty() || position[0] != 'x') {
        return std::nullopt;
    }
    const std::vector<std::string_view> parts = split(position.substr(1), '.');
    if (parts.size() < 2) {
        return std::nullopt;
    }
    std::vector<std::uint64_t> numbers;
    for (const std::string_view part : parts) {
        const auto n = parseBase36(part);
        if (!n) {
            return std::nullopt;
        }
        numbers.push_back(*n);
    }
    PgSnapshot s;
    s.xmin = numbers[0];
    s.xmax = s.xmin + numbers[1];
    std::uint64_t floor = s.xmin;
    for (std::size_t i = 2; i < numbers.size(); ++i) {
        // Past kLimit the sum is refused below; it cannot wrap from numbers this small.
        const std::uint64_t x = floor + numbers[i];
        if (x >= kLimit) {
            return std::nullopt;
        }
        s.xip.push_back(x);
        floor = x + 1;
    }
    return wellFormed(s) ? std::optional<PgSnapshot>(std::move(s)) : std::nullopt;
}

std::string pgPositionText(const PgPosition& position) {
    return "r" + base36(position.lastRow) + "." + pgSnapshotPosition(position.snapshot).substr(1);
}

std::optional<PgPosition> parsePgPosition(std::string_view text) {
    const std::size_t dot = text.find('.');
    if (text.empty() || text[0] != 'r' || dot == std::string_view::npos) {
        return std::nullopt;
    }
    const auto lastRow = parseBase36(text.substr(1, dot - 1));
    auto snapshot = parsePgSnapshotPosition("x" + std::string(text.substr(dot + 1)));
    if (!lastRow || !snapshot) {
        return std::nullopt;
    }
    return PgPosition{*lastRow, std::move(*snapshot)};
}

}  // namespace ru
