#include "overdrawn_command.h"

#include <sys/stat.h>

#include <ctime>
#include <exception>

namespace ru {

namespace {

constexpr const char* kUsage = R"(Usage: ru-server overdrawn --db DB [--db-schema NAME]
Lists the students whose credit an event upload left below zero (an entry that a board
decided without the server), while it still is: user_id, matricula, credit, times (the
uploads that left it below zero), last (the last of them) and board (the board that sent
it; - for an unnamed board), separated by tabs, after a header line. Reads the database
directly, on this machine: no network.

  --db DB         the SQLite database file, or a PostgreSQL libpq URI, as ru-server's
  --db-schema NAME  with PostgreSQL, the schema of ru-server's tables (default: ru)
  --help          show this text and exit
)";

std::string localIso(std::int64_t secondsSinceEpoch) {
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    std::string iso = text;
    iso.insert(iso.size() - 2, ":");
    return iso;
}

}  // namespace

std::string overdrawnListing(const std::vector<OverdrawnStudent>& students) {
    std::string text = "user_id\tmatricula\tcredit\ttimes\tlast\tboard\n";
    for (const OverdrawnStudent& s : students) {
        text += std::to_string(s.userId) + '\t' + s.matricula + '\t' + std::to_string(s.credit) +
                '\t' + std::to_string(s.times) + '\t' + localIso(s.lastAt) + '\t' +
                (s.board.empty() ? "-" : s.board) + '\n';
    }
    return text;
}

int overdrawnCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::string db;
    std::string schema;
    const auto usage = [&err](const std::string& message) {
        err << "ru-server overdrawn: " << message << " (see ru-server overdrawn --help)"
            << std::endl;
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool inlineValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        if (arg == "--help" && !inlineValue) {
            out << kUsage;
            return 0;
        }
        if (arg != "--db" && arg != "--db-schema") {
            return usage("unknown argument '" + args[i] + "'");
        }
        if (!inlineValue) {
            if (i + 1 == args.size()) {
                return usage("option " + arg + " needs a value");
            }
            value = args[++i];
        }
        if (value.empty()) {
            return usage("option " + arg + " needs a non-empty value");
        }
        (arg == "--db" ? db : schema) = value;
    }
    if (db.empty()) {
        return usage("--db names the database");
    }
    if (!schema.empty() && !isPostgresUri(db)) {
        return usage("--db-schema needs a PostgreSQL database (--db postgresql://...)");
    }
    struct stat info {};
    if (!isPostgresUri(db) && stat(db.c_str(), &info) != 0) {
        // Opening would make an empty database where the operator mistyped a path.
        err << "ru-server overdrawn: no database at " << db << std::endl;
        return 1;
    }
    try {
        StoreOptions options;
        if (!schema.empty()) {
            options.schema = schema;
        }
        options.writeConnections = 1;
        const std::unique_ptr<Store> store = openStore(db, options);
        out << overdrawnListing(store->overdrawnStudents()) << std::flush;
        return 0;
    } catch (const std::exception& e) {
        err << "ru-server overdrawn: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace ru
