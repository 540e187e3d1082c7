#ifndef RU_SERVER_JSON_TEXT_H
#define RU_SERVER_JSON_TEXT_H

#include <string>
#include <string_view>

namespace ru {

// Appends `text` to `out` as a JSON string literal, quotes included. Quotes, backslashes
// and control characters are escaped; valid UTF-8 passes through unchanged and every
// byte that is not part of a valid UTF-8 sequence becomes U+FFFD, so the result is
// always valid JSON in UTF-8.
void appendJsonString(std::string& out, std::string_view text);

// Returns the JSON object {"error":<message>} that every refusal carries as its body.
std::string errorBody(std::string_view message);

}  // namespace ru

#endif
