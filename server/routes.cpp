#include "routes.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "json_text.h"

namespace ru {

namespace {

using nlohmann::json;

constexpr const char* kJson = "application/json";
constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();
// Pieces of the roster handed to the connection at a time: large enough to keep the
// per-chunk overhead small, small enough to keep memory flat.
constexpr std::size_t kRosterChunkBytes = 64 * 1024;

void refuse(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(errorBody(message), kJson);
}

// The methods a known path accepts, as an Allow header value; "" for an unknown path.
std::string allowedMethods(const std::string& path) {
    static const std::regex upload("/transaction/[^/]+");
    if (path == "/transaction") {
        return "GET, HEAD, OPTIONS";
    }
    if (path == "/contador") {
        return "GET, HEAD, POST, OPTIONS";
    }
    if (std::regex_match(path, upload)) {
        return "POST, OPTIONS";
    }
    return "";
}

void unrouted(const httplib::Request& req, httplib::Response& res) {
    const std::string allow = allowedMethods(req.path);
    if (allow.empty()) {
        refuse(res, 404, "no such path: " + req.path);
    } else if (req.method == "OPTIONS") {
        res.status = 204;
        res.set_header("Allow", allow);
    } else {
        res.set_header("Allow", allow);
        refuse(res, 405, "method " + req.method + " not allowed on " + req.path);
    }
}

// Reads the integer member `key` of the JSON object in `text`, the request body. Answers 400 and
// returns nothing when the body is not such an object or the value is not an integer in
// [min, max].
std::optional<std::int32_t> intMember(const std::string& text, httplib::Response& res,
                                      const char* key, std::int64_t min, std::int64_t max) {
    const json body = json::parse(text, nullptr, false);
    if (body.is_discarded()) {
        refuse(res, 400, "the body is not JSON");
        return std::nullopt;
    }
    const std::string quotedKey = std::string("\"") + key + "\"";
    if (!body.is_object() || !body.contains(key)) {
        refuse(res, 400, "the body must be a JSON object with the key " + quotedKey);
        return std::nullopt;
    }
    const json& value = body.at(key);
    bool inRange = false;
    if (value.is_number_unsigned()) {
        inRange = value.get<std::uint64_t>() <= static_cast<std::uint64_t>(max);
    } else if (value.is_number_integer()) {
        inRange = value.get<std::int64_t>() >= min && value.get<std::int64_t>() <= max;
    }
    if (!inRange) {
        refuse(res, 400,
               quotedKey + " must be an integer from " + std::to_string(min) + " to " +
                   std::to_string(max));
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

using BodyHandler =
    std::function<void(const httplib::Request&, const std::string& body, httplib::Response&)>;

// Wraps a handler of requests with a body so that it gets the body only when it is at most
// kMaxBodyBytes long, and a longer one is answered 413. The library enforces the limit by
// itself only on bodies sent with a Content-Length: a chunked one is drained here, kept no
// further than the limit, so that memory stays bounded and the connection stays in step.
httplib::Server::HandlerWithContentReader limitedBody(BodyHandler handler) {
    return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& reader) {
        std::string body;
        bool tooLarge = false;
        const bool complete = reader([&](const char* data, std::size_t length) {
            if (tooLarge || body.size() + length > kMaxBodyBytes) {
                tooLarge = true;
                body.clear();
                return true;
            }
            body.append(data, length);
            return true;
        });
        if (tooLarge || res.status == 413) {
            refuse(res, 413, "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes");
        } else if (!complete) {
            refuse(res, 400, "the body was cut short");
        } else {
            handler(req, body, res);
        }
    };
}

void unroutedWithBody(const httplib::Request& req, const std::string&, httplib::Response& res) {
    unrouted(req, res);
}

// The user id of an upload path segment: decimal, optionally negative, within int32.
std::optional<std::int32_t> parseUserId(const std::string& text) {
    std::int32_t id = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, id);
    if (ec != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return id;
}

std::string httpDate(std::int64_t secondsSinceEpoch) {
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    // The program never sets a locale, so day and month names are the English ones.
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

void getRoster(Store& store, httplib::Response& res) {
    std::shared_ptr<RosterStream> roster = store.openRoster();
    // Set outright, since a streamed body cannot be cut to a Range: left unset, the
    // library would answer such a request 206 with the whole body.
    res.status = 200;
    res.set_chunked_content_provider(kJson, [roster](std::size_t, httplib::DataSink& sink) {
        try {
            std::string piece;
            if (!roster->read(piece, kRosterChunkBytes)) {
                sink.done();
                return true;
            }
            return sink.write(piece.data(), piece.size());
        } catch (const std::exception& e) {
            // The status line is gone already: cutting the chunked body short is the only
            // way left to tell the client that the roster is incomplete.
            std::cerr << "ru-server: reading the roster failed: " << e.what() << std::endl;
            return false;
        }
    });
}

void postEvent(Store& store, const httplib::Request& req, const std::string& body,
               httplib::Response& res) {
    const auto value = intMember(body, res, "event_id", kIntMin, kIntMax);
    if (!value) {
        return;
    }
    const std::string segment = req.matches[1];
    const auto userId = parseUserId(segment);
    if (!userId) {
        refuse(res, 404, "no user " + segment);
        return;
    }
    const AppendResult result = store.appendEvent(*userId, *value);
    switch (result.status) {
        case AppendStatus::UnknownUser:
            refuse(res, 404, "no user " + std::to_string(*userId));
            return;
        case AppendStatus::CreditOutOfRange:
            refuse(res, 422,
                   "the credit of user " + std::to_string(*userId) + " (" +
                       std::to_string(result.credit) +
                       ") plus this event would leave the signed 32-bit range");
            return;
        case AppendStatus::Stored:
            break;
    }
    res.status = 201;
    res.set_content("{\"user_id\":" + std::to_string(*userId) +
                        ",\"event\":" + std::to_string(*value) +
                        ",\"credit\":" + std::to_string(result.credit) + "}",
                    kJson);
}

void postHeadCount(Store& store, const std::string& body, httplib::Response& res) {
    const auto v = intMember(body, res, "v", 0, kIntMax);
    if (!v) {
        return;
    }
    store.recordHeadCount(*v);
    res.status = 201;
    res.set_content("{\"v\":" + std::to_string(*v) + "}", kJson);
}

void getHeadCount(Store& store, httplib::Response& res) {
    const std::optional<HeadCount> latest = store.latestHeadCount();
    if (latest) {
        res.set_header("Last-Modified", httpDate(latest->receivedAt));
    }
    res.set_content("{\"v\":" + std::to_string(latest ? latest->v : 0) + "}", kJson);
}

std::string reasonText(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 413:
            return "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes";
        case 414:
            return "the request target is too long";
        case 500:
            return "internal error";
        default:
            return "request refused";
    }
}

// Appends `field` with every byte outside printable ASCII percent-encoded, or "-" when empty:
// both come from the client, which must not be able to break or forge a log line.
void appendLogField(std::string& line, const std::string& field) {
    static const char kHex[] = "0123456789ABCDEF";
    if (field.empty()) {
        line += '-';
    }
    for (const char ch : field) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7F) {
            line.push_back(ch);
        } else {
            line.push_back('%');
            line.push_back(kHex[c >> 4]);
            line.push_back(kHex[c & 0x0F]);
        }
    }
}

}  // namespace

void installRoutes(httplib::Server& server, Store& store) {
    server.set_payload_max_length(kMaxBodyBytes);
    // Answers go out as several writes (headers, then body); without this a client that
    // keeps its connection open waits for a delayed ACK, about 40 ms, on every request.
    server.set_tcp_nodelay(true);
    // The library's default options add SO_REUSEPORT, with which a second server could bind
    // the same port and silently take a share of the connections.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.Get("/transaction", [&store](const httplib::Request&, httplib::Response& res) {
        getRoster(store, res);
    });
    server.Post(
        "/transaction/([^/]+)",
        limitedBody([&store](const httplib::Request& req, const std::string& body,
                             httplib::Response& res) { postEvent(store, req, body, res); }));
    server.Get("/contador", [&store](const httplib::Request&, httplib::Response& res) {
        getHeadCount(store, res);
    });
    server.Post("/contador",
                limitedBody([&store](const httplib::Request&, const std::string& body,
                                     httplib::Response& res) { postHeadCount(store, body, res); }));
    // Everything else, registered last so that it only catches what the routes above miss.
    server.Get(".*", unrouted);
    // Both kinds of handler: which one the library picks depends on whether it expects a body.
    server.Post(".*", limitedBody(unroutedWithBody));
    server.Put(".*", limitedBody(unroutedWithBody));
    server.Patch(".*", limitedBody(unroutedWithBody));
    server.Delete(".*", limitedBody(unroutedWithBody));
    server.Post(".*", unrouted);
    server.Put(".*", unrouted);
    server.Patch(".*", unrouted);
    server.Delete(".*", unrouted);
    server.Options(".*", unrouted);

    // Refusals made by the HTTP library itself (malformed request, body too large) get the
    // same kind of body as ours.
    server.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.set_content(errorBody(reasonText(res.status)), kJson);
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler([](const httplib::Request& req, httplib::Response& res,
                                    std::exception_ptr error) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        std::cerr << "ru-server: " << req.method << ' ' << req.path << ": " << what << std::endl;
        refuse(res, 500, "internal error");
    });
}

std::string requestLogLine(const httplib::Request& req, const httplib::Response& res) {
    std::string line;
    appendLogField(line, req.method);
    line += ' ';
    appendLogField(line, req.target.empty() ? req.path : req.target);
    line += ' ';
    line += std::to_string(res.status);
    return line;
}

}  // namespace ru
