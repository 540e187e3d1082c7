#include "store.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "store_postgres.h"
#include "store_sqlite.h"

namespace ru {

bool isPostgresUri(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> openStore(const std::string& db, const StoreOptions& options) {
    if (isPostgresUri(db)) {
        return std::make_unique<PostgresStore>(db, options);
    }
    return std::make_unique<SqliteStore>(db, options.writeWait);
}

std::optional<HeadCount> restaurantTotal(const std::vector<HeadCount>& latestOfEachBoard) {
    if (latestOfEachBoard.empty()) {
        return std::nullopt;
    }
    std::int64_t sum = 0;
    HeadCount total;
    for (const HeadCount& count : latestOfEachBoard) {
        sum += count.v;
        total.receivedAt = std::max(total.receivedAt, count.receivedAt);
    }
    total.v = static_cast<std::int32_t>(
        std::min<std::int64_t>(sum, std::numeric_limits<std::int32_t>::max()));
    return total;
}

std::string randomIdentity() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR) {
            throw StoreError(std::string("no random bytes for the database's identity: ") +
                             std::strerror(errno));
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0F]);
    }
    return text;
}

}  // namespace ru
