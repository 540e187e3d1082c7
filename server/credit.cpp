#include "credit.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "roster.h"
#include "store.h"

namespace ru {

namespace {

struct Command {
    std::string db;
    std::optional<std::string> schema;
    std::optional<std::string> file;
    std::optional<std::int32_t> userId;
    std::optional<std::int32_t> amount;
};

struct Usage {
    std::string message;
};

// A signed 32-bit integer in plain decimal ("-5", "12"), as the roster writes them.
std::optional<std::int32_t> integer(const std::string& text) {
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

Command parse(int argc, char** argv) {
    Command command;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        if (arg == "--db" || arg == "--db-schema" || arg == "--file") {
            if (!inlineValue && i + 1 >= argc) {
                throw Usage{"option " + arg + " needs a value"};
            }
            const std::string value = inlineValue ? *inlineValue : argv[++i];
            if (value.empty()) {
                throw Usage{"option " + arg + " needs a non-empty value"};
            }
            (arg == "--db"          ? command.db
             : arg == "--db-schema" ? command.schema.emplace()
                                    : command.file.emplace()) = value;
        } else if (arg.size() > 1 && arg[0] == '-' && !integer(arg)) {
            throw Usage{"unknown argument '" + std::string(argv[i]) + "'"};
        } else {
            words.push_back(arg);
        }
    }
    if (command.db.empty()) {
        throw Usage{"credit needs --db, the database to add to"};
    }
    if (command.schema && !isPostgresUri(command.db)) {
        throw Usage{"--db-schema needs a PostgreSQL database (--db postgresql://...)"};
    }
    if (command.file) {
        if (!words.empty()) {
            throw Usage{"credit --file takes no USER_ID or AMOUNT"};
        }
        return command;
    }
    if (words.size() != 2) {
        throw Usage{"credit wants USER_ID AMOUNT, or --file FILE"};
    }
    command.userId = integer(words[0]);
    if (!command.userId || words[0] != std::to_string(*command.userId)) {
        throw Usage{"USER_ID must be a user id in plain decimal, not '" + words[0] + "'"};
    }
    command.amount = integer(words[1]);
    if (!command.amount || *command.amount == 0) {
        throw Usage{
            "AMOUNT must be a whole number of meals other than 0, from -2147483648 to "
            "2147483647, not '" +
            words[1] + "'"};
    }
    return command;
}

int fail(const std::string& message) {
    std::cerr << "ru-server: " << message << std::endl;
    return 1;
}

int addOne(Store& store, std::int32_t userId, std::int32_t amount) {
    const AppendResult result = store.appendCredit(userId, amount);
    switch (result.status) {
        case AppendStatus::Stored:
            std::cout << "added " << amount << " to the credit of user " << userId << " in "
                      << store.name() << ": " << result.credit << std::endl;
            return 0;
        case AppendStatus::UnknownUser:
            return fail("no user " + std::to_string(userId) + " in " + store.name() +
                        "; a new student comes in with a row of --file; nothing added");
        case AppendStatus::CreditOutOfRange:
            return fail("the credit of user " + std::to_string(userId) + " (" +
                        std::to_string(result.credit) +
                        ") plus the amount would leave the signed 32-bit range; nothing added");
        case AppendStatus::Repeated:
        case AppendStatus::KeyReused:
        case AppendStatus::NotCovered:
            break;
    }
    return fail("nothing added");
}

// The whole of `file`, read and checked as a roster before the database is written: a
// file that comes slowly (a pipe, a share) must not hold the write lock, and with it every
// board's upload, while it comes. Nothing when it cannot be read, with why in `why`.
std::optional<std::string> readRows(const std::string& file, std::string& why) {
    if (std::filesystem::is_directory(file)) {
        why = "cannot read " + file + ": it is a directory; nothing added";
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    std::string text;
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in.is_open() || in.bad()) {
        why = "cannot read " + file + ": " + std::strerror(errno) + "; nothing added";
        return std::nullopt;
    }
    std::istringstream rows(text);
    try {
        readRoster(rows, [](const Transaction&) {});
    } catch (const RosterError& e) {
        why = file + ": " + e.what() + "; nothing added";
        return std::nullopt;
    }
    return text;
}

int addFile(Store& store, const std::string& file, const std::string& text) {
    std::istringstream in(text);
    try {
        const ImportSummary added = store.appendRows(in);
        std::cout << "added " << added.transactions << " transactions of " << added.students
                  << " students from " << file << " to " << store.name() << std::endl;
        return 0;
    } catch (const RosterError& e) {
        return fail(file + ": " + e.what() + "; nothing added");
    }
}

}  // namespace

int creditCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help") {
            std::cout << "Usage: ru-server credit --db PATH [--db-schema NAME] USER_ID AMOUNT\n"
                         "       ru-server credit --db PATH [--db-schema NAME] --file FILE\n"
                         "Adds AMOUNT meals (a whole number other than 0) to the student "
                         "USER_ID, who must be\n"
                         "in the database already, or every row of FILE, a JSON array in the "
                         "roster's form\n"
                         "(new students included), all or nothing, straight into the database "
                         "PATH (an\n"
                         "SQLite file, or a postgresql:// URI with --db-schema NAME, default "
                         "ru).\n";
            return 0;
        }
    }
    Command command;
    try {
        command = parse(argc, argv);
    } catch (const Usage& e) {
        std::cerr << "ru-server: " << e.message << " (see --help)" << std::endl;
        return 2;
    }
    std::optional<std::string> rows;
    if (command.file) {
        std::string why;
        rows = readRows(*command.file, why);
        if (!rows) {
            return fail(why);
        }
    }
    // Opening would make an empty database of a mistyped path.
    if (!isPostgresUri(command.db) && access(command.db.c_str(), F_OK) != 0) {
        return fail("no database " + command.db + "; nothing added");
    }
    try {
        StoreOptions options;
        options.schema = command.schema.value_or(options.schema);
        options.writeConnections = 1;
        const std::unique_ptr<Store> store = openStore(command.db, options);
        return command.file ? addFile(*store, *command.file, *rows)
                            : addOne(*store, *command.userId, *command.amount);
    } catch (const StoreBusy& e) {
        return fail(std::string(e.what()) + "; nothing added, try again");
    } catch (const StoreUnavailable& e) {
        // Without a key, trying again could add the credit twice.
        return fail(std::string(e.what()) +
                    "; the addition may have been committed: look at the roster before trying "
                    "again");
    } catch (const std::exception& e) {
        return fail(std::string(e.what()) + "; nothing added");
    }
}

}  // namespace ru
