// The launcher's configuration file: what each text becomes (the two answers and
// catraca's arguments), and every way a file can be wrong, each refused with its line.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "launcher_config.h"

namespace {

using launcher::parseConfig;

struct Reading {
    std::string name;
    std::string text;
    std::string server;
    std::string port;
    std::vector<std::string> arguments;
};

TEST(LauncherConfig, SettingsBecomeTheAnswersAndCatracasArguments) {
    const std::string base = "CATRACA_SERVER=10.1.2.3\nCATRACA_PORT=8080\n";
    const std::vector<Reading> cases = {
        {"only the answers", base, "10.1.2.3", "8080", {}},
        {"comments, blanks, quotes, export and CRLF",
         "# the server\n\n  CATRACA_SERVER = 'ru.local' \r\nexport CATRACA_PORT=\"80\"\r\n"
         "   # indented comment\n",
         "ru.local",
         "80",
         {}},
        {"options in a fixed order, whatever the file's",
         base + "CATRACA_REFRESH=60\nCATRACA_KEY=/etc/catraca/board.key\n"
                "CATRACA_CACERT=/etc/ssl/ru.pem\nCATRACA_TIMEOUT=5\n"
                "CATRACA_CERT=/etc/catraca/board.pem\n"
                "CATRACA_JOURNAL=/var/lib/catraca/journal.db\n",
         "10.1.2.3",
         "8080",
         {"--journal", "/var/lib/catraca/journal.db", "--timeout", "5", "--cacert",
          "/etc/ssl/ru.pem", "--cert", "/etc/catraca/board.pem", "--key", "/etc/catraca/board.key",
          "--refresh", "60"}},
        {"the sync interval",
         base + "CATRACA_SYNC=300\nCATRACA_REFRESH=60\n",
         "10.1.2.3",
         "8080",
         {"--refresh", "60", "--sync", "300"}},
        {"an empty option is left out",
         base + "CATRACA_JOURNAL=\nCATRACA_TIMEOUT=''\n",
         "10.1.2.3",
         "8080",
         {}},
        {"a value with spaces stays one argument",
         base + "CATRACA_JOURNAL=\"/srv/a b.db\"\n",
         "10.1.2.3",
         "8080",
         {"--journal", "/srv/a b.db"}},
        {"extra options split at whitespace, after the others",
         base + "CATRACA_OPTIONS=\"--refresh 30\t--idempotency-keys\"\nCATRACA_TIMEOUT=0\n",
         "10.1.2.3",
         "8080",
         {"--timeout", "0", "--refresh", "30", "--idempotency-keys"}},
        {"a later setting replaces an earlier one",
         base + "CATRACA_PORT=9090\nCATRACA_TIMEOUT=1\nCATRACA_TIMEOUT=2\n",
         "10.1.2.3",
         "9090",
         {"--timeout", "2"}},
        {"nothing is expanded",
         base + "CATRACA_JOURNAL=$HOME/j.db\n",
         "10.1.2.3",
         "8080",
         {"--journal", "$HOME/j.db"}},
        {"no final newline", "CATRACA_SERVER=h\nCATRACA_PORT=1", "h", "1", {}},
        {"a comment after a blank ends the value, as in a shell",
         "CATRACA_SERVER=10.1.2.3 # ru\nCATRACA_PORT=8080\t#http\nCATRACA_CACERT= # none\n"
         "CATRACA_JOURNAL=/var/lib/catraca/diario.db  # on the SD card\n"
         "CATRACA_TIMEOUT=2 # seconds\nCATRACA_OPTIONS='--refresh 30' # it's late\n",
         "10.1.2.3",
         "8080",
         {"--journal", "/var/lib/catraca/diario.db", "--timeout", "2", "--refresh", "30"}},
        {"the board's name joined to its option, online on, its wait",
         base + "CATRACA_ONLINE=yes\nCATRACA_BOARD=-ru 1\nCATRACA_ENTRY_TIMEOUT=2\n"
                "CATRACA_JOURNAL=no\n",
         "10.1.2.3",
         "8080",
         {"--journal", "no", "--board=-ru 1", "--online", "--entry-timeout", "2"}},
        {"online no is off", base + "CATRACA_ONLINE=no\n", "10.1.2.3", "8080", {}},
        {"a '#' in quotes or glued to the value is kept",
         base + "CATRACA_JOURNAL=\"/a # b\"\nCATRACA_CACERT=/ru#1\nCATRACA_REFRESH=#3\n",
         "10.1.2.3",
         "8080",
         {"--journal", "/a # b", "--cacert", "/ru#1", "--refresh", "#3"}},
    };
    for (const Reading& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        std::optional<launcher::Config> config = parseConfig(c.text, error);
        ASSERT_TRUE(config.has_value()) << error;
        EXPECT_EQ(config->server, c.server);
        EXPECT_EQ(config->port, c.port);
        EXPECT_EQ(config->arguments, c.arguments);
    }
}

struct Refused {
    std::string text;
    std::string error;
};

TEST(LauncherConfig, FaultyFilesAreRefusedWithTheirReason) {
    const std::string base = "CATRACA_SERVER=10.1.2.3\nCATRACA_PORT=8080\n";
    const std::vector<Refused> cases = {
        {"", "CATRACA_SERVER is missing or empty"},
        {"CATRACA_PORT=8080\n", "CATRACA_SERVER is missing or empty"},
        {"CATRACA_SERVER=h\n", "CATRACA_PORT is missing or empty"},
        {"CATRACA_SERVER=h\nCATRACA_PORT=\"  \"\n", "CATRACA_PORT is missing or empty"},
        {"CATRACA_SERVER='a b'\nCATRACA_PORT=1\n", "CATRACA_SERVER must be a single word"},
        {base + "CATRACA_JOURNALS=/x\n", "line 3: unknown setting CATRACA_JOURNALS"},
        {base + "catraca_port=1\n", "line 3: unknown setting catraca_port"},
        {"# comment\n" + base + "CATRACA_TIMEOUT\n", "line 4: not a KEY=VALUE setting"},
        {"=5\n", "line 1: not a KEY=VALUE setting"},
        {"CATRACA SERVER=h\n", "line 1: not a KEY=VALUE setting"},
        {base + "CATRACA_JOURNAL=\"/x\n", "line 3: CATRACA_JOURNAL has an unterminated quote"},
        {base + "CATRACA_JOURNAL='\n", "line 3: CATRACA_JOURNAL has an unterminated quote"},
        {base + "CATRACA_JOURNAL='/x'#y\n",
         "line 3: CATRACA_JOURNAL has text after the closing quote"},
        {base + "CATRACA_JOURNAL='a'b'\n",
         "line 3: CATRACA_JOURNAL has a quote inside a quoted value"},
        {base + "CATRACA_ONLINE=true\n", "line 3: CATRACA_ONLINE must be yes, no or empty"},
        {base + "CATRACA_OPTIONS=a\"b\n",
         "line 3: CATRACA_OPTIONS has a quote inside an unquoted value"},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(parseConfig(c.text, error).has_value());
        EXPECT_EQ(error, c.error);
    }
}

// The file the package installs as /etc/default/catraca.
TEST(LauncherConfig, ShippedFileKeepsTheJournalInTheUnitsStateDirectory) {
    std::ifstream file(SHIPPED_CONFIG);
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    std::optional<launcher::Config> config = parseConfig(text.str(), error);
    ASSERT_TRUE(config.has_value()) << error;
    EXPECT_EQ(config->server, "127.0.0.1");
    EXPECT_EQ(config->port, "8080");
    const std::vector<std::string> expected = {"--journal", "/var/lib/catraca/journal.db",
                                               "--timeout", "10", "--idempotency-keys"};
    EXPECT_EQ(config->arguments, expected);
}

}  // namespace
