#include "roster.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <unordered_map>

#include "json_text.h"

namespace ru {

namespace {

using nlohmann::json;

constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();

std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

const json& member(const json& element, const char* key, const std::string& label) {
    auto it = element.find(key);
    if (it == element.end()) {
        throw RosterError(label + ": missing key " + quoted(key));
    }
    return *it;
}

std::string stringMember(const json& element, const char* key, const std::string& label) {
    const json& value = member(element, key, label);
    if (!value.is_string()) {
        throw RosterError(label + ": " + quoted(key) + " must be a string");
    }
    return value.get<std::string>();
}

std::int32_t intMember(const json& element, const char* key, const std::string& label) {
    const json& value = member(element, key, label);
    bool inRange = false;
    if (value.is_number_unsigned()) {
        inRange = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(kIntMax);
    } else if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        inRange = v >= kIntMin && v <= kIntMax;
    }
    if (!inRange) {
        throw RosterError(label + ": " + quoted(key) + " must be an integer from " +
                          std::to_string(kIntMin) + " to " + std::to_string(kIntMax));
    }
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

// nlohmann's messages start with a bracketed identifier that means nothing to a user.
std::string withoutExceptionId(const std::string& what) {
    const auto close = what.find("] ");
    return what.front() == '[' && close != std::string::npos ? what.substr(close + 2) : what;
}

}  // namespace

std::size_t readRoster(std::istream& in, const std::function<void(const Transaction&)>& onRow) {
    std::unordered_map<std::int32_t, std::int64_t> credit;
    std::size_t index = 0;  // of the element being read
    bool inArray = false;

    const json::parser_callback_t callback = [&](int depth, json::parse_event_t event,
                                                 json& parsed) -> bool {
        using Event = json::parse_event_t;
        if (depth == 0) {
            if (event == Event::array_start) {
                inArray = true;
            } else if (event == Event::object_start || event == Event::value) {
                throw RosterError("the roster must be a JSON array");
            }
            return true;
        }
        if (depth != 1) {
            return true;
        }
        const std::string label = "element at index " + std::to_string(index);
        if (event == Event::value || event == Event::array_start) {
            throw RosterError(label + " is not a JSON object");
        }
        if (event != Event::object_end) {
            return true;
        }
        Transaction row;
        row.userId = intMember(parsed, "user_id", label);
        const std::string userLabel = label + " (user_id " + std::to_string(row.userId) + ")";
        row.cardID = stringMember(parsed, "cardID", userLabel);
        row.event = intMember(parsed, "event", userLabel);
        row.matricula = stringMember(parsed, "matricula", userLabel);
        row.salt = stringMember(parsed, "salt", userLabel);
        row.passwordHash = stringMember(parsed, "n_password_hash", userLabel);
        std::int64_t& sum = credit[row.userId];
        if (sum + row.event < kIntMin || sum + row.event > kIntMax) {
            throw RosterError(userLabel + ": the student's credit would become " +
                              std::to_string(sum + row.event) +
                              ", outside the signed 32-bit range");
        }
        sum += row.event;
        onRow(row);
        ++index;
        return false;  // drop the element: the array is never held whole
    };

    try {
        // Every element was dropped by the callback, so what is left is an empty array.
        const json rest = json::parse(in, callback);
    } catch (const json::parse_error& e) {
        std::string where =
            inArray ? " (reading element at index " + std::to_string(index) + ")" : std::string();
        throw RosterError("not valid JSON" + where + ": " + withoutExceptionId(e.what()));
    }
    return credit.size();
}

void appendTransactionJson(std::string& out, std::string_view cardID, std::int64_t userId,
                           std::int64_t event, std::string_view matricula, std::string_view salt,
                           std::string_view passwordHash) {
    out += "{\"cardID\":";
    appendJsonString(out, cardID);
    out += ",\"user_id\":";
    out += std::to_string(userId);
    out += ",\"event\":";
    out += std::to_string(event);
    out += ",\"matricula\":";
    appendJsonString(out, matricula);
    out += ",\"salt\":";
    appendJsonString(out, salt);
    out += ",\"n_password_hash\":";
    appendJsonString(out, passwordHash);
    out += '}';
}

}  // namespace ru
