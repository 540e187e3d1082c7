#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>

#include "json_text.h"

namespace {

std::string asJsonString(std::string_view text) {
    std::string out;
    ru::appendJsonString(out, text);
    return out;
}

struct EscapeCase {
    const char* name;
    std::string input;
    std::string expected;
};

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(JsonString, EscapesWhatJsonRequiresAndPassesValidUtf8Through) {
    const EscapeCase cases[] = {
        {"plain ASCII", "A1b2 C3", "\"A1b2 C3\""},
        {"empty", "", "\"\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"short escapes", "\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"other control bytes", std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
        {"NUL inside", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"DEL is not a control byte for JSON", "\x7f", "\"\x7f\""},
        {"two-byte UTF-8", "Jo\xC3\xA3o", "\"Jo\xC3\xA3o\""},
        {"three-byte UTF-8", "\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
        {"four-byte UTF-8", "\xF0\x9F\x8D\xBD", "\"\xF0\x9F\x8D\xBD\""},
        {"ISO-8859-1 byte", "Jo\xE3o", "\"Jo" + kReplacement + "o\""},
        {"overlong NUL", "\xC0\x80", "\"" + kReplacement + kReplacement + "\""},
        {"UTF-16 surrogate", "\xED\xA0\x80",
         "\"" + kReplacement + kReplacement + kReplacement + "\""},
        {"past U+10FFFF", "\xF4\x90\x80\x80",
         "\"" + kReplacement + kReplacement + kReplacement + kReplacement + "\""},
        {"sequence cut at the end", "x\xE2\x82", "\"x" + kReplacement + kReplacement + "\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(asJsonString(c.input), c.expected) << c.name;
    }
}

TEST(JsonString, AnyBytesGiveJsonThatParsesAndValidTextComesBackUnchanged) {
    std::mt19937 random(20240607);
    const std::string alphabet = std::string("aZ09 \"\\/\n\t\x01\x7f") + "\xC3\xA3\xE2\x82\xAC" +
                                 "\xF0\x9F\x8D\xBD\xE3\xFF\x80";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int i = 0; i < 2000; ++i) {
        std::string input;
        for (int n = length(random); n > 0; --n) {
            input.push_back(alphabet[pick(random)]);
        }
        const std::string text = asJsonString(input);
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        ASSERT_TRUE(parsed.is_string()) << "not JSON: " << text;
        // nlohmann's own serialiser refuses invalid UTF-8, so it tells us what is valid.
        bool valid = true;
        try {
            static_cast<void>(nlohmann::json(input).dump());
        } catch (const nlohmann::json::type_error&) {
            valid = false;
        }
        if (valid) {
            EXPECT_EQ(parsed.get<std::string>(), input) << text;
        }
    }
}

TEST(JsonString, ErrorBodyIsAnObjectWithTheMessage) {
    const auto body = nlohmann::json::parse(ru::errorBody("no \"user\" 7"));
    EXPECT_EQ(body, nlohmann::json({{"error", "no \"user\" 7"}}));
}

}  // namespace
