#include "json_text.h"

#include <cstddef>

namespace ru {

namespace {

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and code points past U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
    };
    const unsigned char c = byte(0);
    if (c >= 0xC2 && c <= 0xDF) {
        return isContinuation(byte(1)) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
        return byte(1) >= lo && byte(1) <= hi && isContinuation(byte(2)) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
        return byte(1) >= lo && byte(1) <= hi && isContinuation(byte(2)) && isContinuation(byte(3))
                   ? 4
                   : 0;
    }
    return 0;
}

bool isPlain(unsigned char c) {
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isPlain(c)) {
            std::size_t end = i + 1;
            while (end < text.size() && isPlain(static_cast<unsigned char>(text[end]))) {
                ++end;
            }
            out.append(text, i, end - i);
            i = end;
            continue;
        }
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0x0F]);
            }
            ++i;
            continue;
        }
        const std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    out.push_back('"');
}

std::string errorBody(std::string_view message) {
    std::string body = "{\"error\":";
    appendJsonString(body, message);
    body += '}';
    return body;
}

}  // namespace ru
