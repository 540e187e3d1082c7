#ifndef CATRACA_LAUNCHER_CONFIG_H
#define CATRACA_LAUNCHER_CONFIG_H

#include <optional>
#include <string>
#include <vector>

// The configuration of catraca-console, read from a file in the shell-variable form of
// /etc/default: one KEY=VALUE a line, '#' comments and blank lines, a value optionally
// in single or double quotes (taken literally: nothing is expanded, no backslash
// escapes). As in a shell, a '#' after a blank outside quotes starts a comment that
// ends the line ("KEY=5  # seconds" is 5); a '#' inside quotes or glued to the value
// is part of it ("KEY='a # b'", "KEY=a#b").
//
//   CATRACA_SERVER   the answer to the address prompt (required)
//   CATRACA_PORT     the answer to the port prompt (required)
//   CATRACA_JOURNAL, CATRACA_TIMEOUT, CATRACA_CACERT, CATRACA_CERT, ...  one option of
//                    catraca each (see kOptionKeys); an empty value leaves the option out,
//                    and a yes/no key (CATRACA_ONLINE) takes only yes, no or nothing
//   CATRACA_OPTIONS  further arguments, split at whitespace
//
// An unknown key is an error, so that a misspelt setting is never silently dropped.
namespace launcher {

struct OptionKey {
    enum Form {
        Separate,  // "--option" "VALUE"
        Joined,    // "--option=VALUE", for an option whose value may start with '-'
        YesNo,     // "--option" for yes; nothing for no
    };
    const char* key;
    const char* option;
    Form form = Separate;
};

// Each configuration key that stands for one option of catraca, in the order the
// options are passed. A new option of catraca is one line here.
extern const std::vector<OptionKey> kOptionKeys;

struct Config {
    // The two start-up answers, each one whitespace-free word, since catraca reads
    // them as words.
    std::string server;
    std::string port;
    // The arguments for catraca, options of kOptionKeys first, then CATRACA_OPTIONS.
    std::vector<std::string> arguments;
};

// Parses the text of a configuration file. On failure returns nothing and sets
// `error` to one line that names the line number and the fault.
std::optional<Config> parseConfig(const std::string& text, std::string& error);

}  // namespace launcher

#endif
