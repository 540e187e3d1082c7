#include "launcher_config.h"

#include <map>
#include <sstream>

namespace launcher {

const std::vector<OptionKey> kOptionKeys = {
    {"CATRACA_JOURNAL", "--journal"},
    {"CATRACA_TIMEOUT", "--timeout"},
    {"CATRACA_CACERT", "--cacert"},
    {"CATRACA_CERT", "--cert"},
    {"CATRACA_KEY", "--key"},
    {"CATRACA_REFRESH", "--refresh"},
    {"CATRACA_SYNC", "--sync"},
    {"CATRACA_BOARD", "--board", OptionKey::Joined},
    {"CATRACA_ONLINE", "--online", OptionKey::YesNo},
    {"CATRACA_ENTRY_TIMEOUT", "--entry-timeout"},
};

namespace {

const char* const kBlanks = " \t\r";

std::string trimmed(const std::string& s) {
    size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool validKey(const std::string& key) {
    if (key.empty() || (key[0] >= '0' && key[0] <= '9')) {
        return false;
    }
    for (char c : key) {
        if (!(c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
              (c >= '0' && c <= '9'))) {
            return false;
        }
    }
    return true;
}

// The text after '=' without its comment. As in a shell, '#' starts one only at the
// start of a word outside quotes: "a # b" and "'a # b'" keep theirs, "a#b" and "#b"
// are values.
std::string withoutComment(const std::string& raw) {
    char quote = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (quote != 0) {
            quote = raw[i] == quote ? 0 : quote;
        } else if (raw[i] == '"' || raw[i] == '\'') {
            quote = raw[i];
        } else if (raw[i] == '#' && i > 0 && (raw[i - 1] == ' ' || raw[i - 1] == '\t')) {
            return raw.substr(0, i);
        }
    }
    return raw;
}

// The value after '=', its comment gone: quotes removed, or why it cannot be read.
std::optional<std::string> unquoted(const std::string& raw, std::string& why) {
    if (raw.empty() || (raw[0] != '"' && raw[0] != '\'')) {
        if (raw.find_first_of("\"'") != std::string::npos) {
            why = "a quote inside an unquoted value";
            return std::nullopt;
        }
        return raw;
    }
    if (raw.size() < 2 || raw.back() != raw[0]) {
        why = raw.find(raw[0], 1) == std::string::npos ? "an unterminated quote"
                                                       : "text after the closing quote";
        return std::nullopt;
    }
    std::string inner = raw.substr(1, raw.size() - 2);
    if (inner.find(raw[0]) != std::string::npos) {
        why = "a quote inside a quoted value";
        return std::nullopt;
    }
    return inner;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

}  // namespace

std::optional<Config> parseConfig(const std::string& text, std::string& error) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string at = "line " + std::to_string(number) + ": ";
        line = trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.rfind("export ", 0) == 0) {
            line = trimmed(line.substr(7));
        }
        size_t eq = line.find('=');
        std::string key = eq == std::string::npos ? "" : trimmed(line.substr(0, eq));
        if (!validKey(key)) {
            error = at + "not a KEY=VALUE setting";
            return std::nullopt;
        }
        bool known = key == "CATRACA_SERVER" || key == "CATRACA_PORT" || key == "CATRACA_OPTIONS";
        bool yesNo = false;
        for (const OptionKey& o : kOptionKeys) {
            known = known || key == o.key;
            yesNo = yesNo || (key == o.key && o.form == OptionKey::YesNo);
        }
        if (!known) {
            error = at + "unknown setting " + key;
            return std::nullopt;
        }
        std::string why;
        std::optional<std::string> value =
            unquoted(trimmed(withoutComment(line.substr(eq + 1))), why);
        if (!value) {
            error = at + key + " has " + why;
            return std::nullopt;
        }
        if (yesNo && !value->empty() && *value != "yes" && *value != "no") {
            error = at + key + " must be yes, no or empty";
            return std::nullopt;
        }
        values[key] = *value;
    }

    Config config;
    for (const char* key : {"CATRACA_SERVER", "CATRACA_PORT"}) {
        std::vector<std::string> answer = words(values[key]);
        if (answer.size() != 1) {
            error = std::string(key) +
                    (answer.empty() ? " is missing or empty" : " must be a single word");
            return std::nullopt;
        }
        (key == std::string("CATRACA_SERVER") ? config.server : config.port) = answer[0];
    }
    for (const OptionKey& o : kOptionKeys) {
        auto found = values.find(o.key);
        if (found == values.end() || found->second.empty() ||
            (o.form == OptionKey::YesNo && found->second == "no")) {
            continue;
        }
        if (o.form == OptionKey::Separate) {
            config.arguments.push_back(o.option);
            config.arguments.push_back(found->second);
        } else {
            config.arguments.push_back(o.option +
                                       (o.form == OptionKey::Joined ? "=" + found->second : ""));
        }
    }
    for (const std::string& w : words(values["CATRACA_OPTIONS"])) {
        config.arguments.push_back(w);
    }
    return config;
}

}  // namespace launcher
