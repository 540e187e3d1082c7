#include "routes.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <iostream>
#include <limits>

#include "board_authority.h"
#include "json_text.h"
#include "web_assets.h"

namespace ru {

namespace {

using nlohmann::json;

constexpr const char* kJson = "application/json";
constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr const char* kUploadPrefix = "/transaction/";
constexpr const char* kEntryPrefix = "/entrada/";
constexpr const char* kAssetPrefix = "/web/";

enum class Path { Unknown, Roster, Upload, Entry, HeadCount, Page, Occupancy, Asset, Metrics };

// The part of `path` after `prefix` when it is one non-empty segment.
std::optional<std::string> segmentAfter(const std::string& path, const char* prefix) {
    const std::size_t length = std::char_traits<char>::length(prefix);
    if (path.compare(0, length, prefix) == 0 && path.size() > length &&
        path.find('/', length) == std::string::npos) {
        return path.substr(length);
    }
    return std::nullopt;
}

// Which route `path` names; for an upload, an online entry or a file, `segment` gets the
// part after the prefix. The online entry is a route only when `online`.
Path classify(const std::string& path, bool online, std::string& segment) {
    if (path == "/transaction") {
        return Path::Roster;
    }
    if (path == "/contador") {
        return Path::HeadCount;
    }
    if (path == "/") {
        return Path::Page;
    }
    if (path == "/painel") {
        return Path::Occupancy;
    }
    if (path == "/metrics") {
        return Path::Metrics;
    }
    const std::size_t assetPrefix = std::char_traits<char>::length(kAssetPrefix);
    if (path.compare(0, assetPrefix, kAssetPrefix) == 0 &&
        findWebAsset(std::string_view(path).substr(assetPrefix)) != nullptr) {
        segment = path.substr(assetPrefix);
        return Path::Asset;
    }
    if (auto user = segmentAfter(path, kUploadPrefix)) {
        segment = std::move(*user);
        return Path::Upload;
    }
    if (auto user = segmentAfter(path, kEntryPrefix); user && online) {
        segment = std::move(*user);
        return Path::Entry;
    }
    return Path::Unknown;
}

// The routes of the boards: the roster, the event uploads, the online entries and the
// head-count reports. The others (the page, its data, the head-count read) are the
// viewers'.
bool isBoardRoute(Path path, const std::string& method) {
    switch (path) {
        case Path::Roster:
            return method == "GET" || method == "HEAD";
        case Path::Upload:
        case Path::Entry:
        case Path::HeadCount:
            return method == "POST";
        case Path::Unknown:
        case Path::Page:
        case Path::Occupancy:
        case Path::Asset:
        case Path::Metrics:
            break;
    }
    return false;
}

const char* allowedMethods(Path path) {
    switch (path) {
        case Path::Roster:
        case Path::Page:
        case Path::Occupancy:
        case Path::Asset:
        case Path::Metrics:
            return "GET, HEAD, OPTIONS";
        case Path::HeadCount:
            return "GET, HEAD, POST, OPTIONS";
        case Path::Upload:
        case Path::Entry:
            return "POST, OPTIONS";
        case Path::Unknown:
            break;
    }
    return "";
}

// Who may use each route. A board reads student data and writes; a viewer only reads what
// the occupancy page shows.
Role neededRole(Path path, const std::string& method) {
    switch (path) {
        case Path::Roster:
        case Path::Upload:
        case Path::Entry:
            return kBoard;
        case Path::HeadCount:
            return method == "POST" ? kBoard : kViewer;
        case Path::Metrics:
            return kMetricsReader;
        case Path::Page:
        case Path::Occupancy:
        case Path::Asset:
        case Path::Unknown:
            break;
    }
    return kViewer;
}

bool allows(Path path, const std::string& method) {
    if (method == "OPTIONS") {
        return true;
    }
    switch (path) {
        case Path::Roster:
        case Path::Page:
        case Path::Occupancy:
        case Path::Asset:
        case Path::Metrics:
            return method == "GET" || method == "HEAD";
        case Path::HeadCount:
            return method == "GET" || method == "HEAD" || method == "POST";
        case Path::Upload:
        case Path::Entry:
            return method == "POST";
        case Path::Unknown:
            break;
    }
    return false;
}

// "application/json", in any case, with or without parameters such as a charset.
bool isJsonType(const std::optional<std::string>& contentType) {
    if (!contentType) {
        return false;
    }
    std::string type = contentType->substr(0, contentType->find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) {
        type.pop_back();
    }
    std::size_t start = 0;
    while (start < type.size() && (type[start] == ' ' || type[start] == '\t')) {
        ++start;
    }
    type.erase(0, start);
    for (char& c : type) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return type == kJson;
}

Reply jsonReply(int status, std::string body) {
    Reply reply;
    reply.status = status;
    reply.contentType = kJson;
    reply.body = std::move(body);
    return reply;
}

// Reads the integer member `key` of the JSON object in `text`, the request body; on a body
// that is not such an object or a value that is not an integer in [min, max], sets
// `refused` to the 400 answer and returns nothing.
std::optional<std::int32_t> intMember(const std::string& text, const char* key, std::int64_t min,
                                      std::int64_t max, Reply& refused) {
    const json body = json::parse(text, nullptr, false);
    if (body.is_discarded()) {
        refused = refusal(400, "the body is not JSON");
        return std::nullopt;
    }
    const std::string quotedKey = std::string("\"") + key + "\"";
    if (!body.is_object() || !body.contains(key)) {
        refused = refusal(400, "the body must be a JSON object with the key " + quotedKey);
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
        refused = refusal(400, quotedKey + " must be an integer from " + std::to_string(min) +
                                   " to " + std::to_string(max));
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

// The user id of an upload path segment, in canonical decimal only: "007", "+7" and "-0"
// would otherwise name a user under a second spelling.
std::optional<std::int32_t> parseUserId(const std::string& text) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || (text[digits] == '0' && (text.size() > digits + 1 || digits))) {
        return std::nullopt;
    }
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

// The key of an Idempotency-Key field value, a structured-field string: printable ASCII
// in double quotes, where only \" and \\ are escapes. Nothing when it is not one, or
// empty, or longer than kMaxIdempotencyKeyBytes.
std::optional<std::string> parseIdempotencyKey(const std::string& field) {
    if (field.size() < 2 || field.front() != '"' || field.back() != '"') {
        return std::nullopt;
    }
    std::string key;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        char c = field[i];
        if (c < 0x20 || c > 0x7E || c == '"') {
            return std::nullopt;
        }
        if (c == '\\') {
            c = field[++i];
            if (i + 1 == field.size() || (c != '"' && c != '\\')) {
                return std::nullopt;
            }
        }
        key.push_back(c);
    }
    if (key.empty() || key.size() > kMaxIdempotencyKeyBytes) {
        return std::nullopt;
    }
    return key;
}

// The event of an upload or an online entry (`entry`): what the routes read of it before
// the store, or the refusal.
struct EventRequest {
    EventWrite write;
    std::optional<Reply> refused;
};

EventRequest readEvent(const std::string& segment, const Request& request, const std::string& board,
                       bool entry) {
    EventRequest event;
    if (!request.idempotencyKeys.empty()) {
        if (request.idempotencyKeys.size() == 1) {
            event.write.key = parseIdempotencyKey(request.idempotencyKeys.front());
        }
        if (!event.write.key) {
            event.refused =
                refusal(400, "Idempotency-Key must be one quoted string of 1 to " +
                                 std::to_string(kMaxIdempotencyKeyBytes) + " printable characters");
            return event;
        }
    }
    Reply refused;
    const auto value = intMember(request.body, "event_id", kIntMin, kIntMax, refused);
    if (!value) {
        event.refused = std::move(refused);
        return event;
    }
    if (entry && *value != -1) {
        event.refused = refusal(422, "an entry is one meal: \"event_id\" must be -1");
        return event;
    }
    const auto userId = parseUserId(segment);
    if (!userId) {
        event.refused = refusal(404, "no user " + segment);
        return event;
    }
    if (!entry && *value != -1) {
        event.refused = refusal(422,
                                "an upload carries the event -1 only; credit is added on the "
                                "server (ru-server credit)");
        return event;
    }
    event.write.userId = *userId;
    event.write.value = *value;
    event.write.board = board;
    event.write.mustBeCovered = entry;
    event.write.arrived = request.arrived;
    if (entry) {
        event.write.wait = kEntryWriteWait;
    }
    return event;
}

// Times a store write into the metrics however it ends: the writes that throw (a lock
// waited out, a commit unconfirmed) are the slow ones.
class WriteTimer {
  public:
    explicit WriteTimer(Metrics* metrics) : metrics_(metrics) {}
    ~WriteTimer() {
        if (metrics_ != nullptr) {
            metrics_->storeWrite(Clock::now() - start_);
        }
    }
    WriteTimer(const WriteTimer&) = delete;
    WriteTimer& operator=(const WriteTimer&) = delete;

  private:
    Metrics* metrics_;
    const Clock::time_point start_ = Clock::now();
};

Reply postEvent(Store& store, const std::string& segment, const Request& request,
                const std::string& board, bool entry) {
    EventRequest event = readEvent(segment, request, board, entry);
    if (event.refused) {
        return std::move(*event.refused);
    }
    const std::int32_t userId = event.write.userId;
    const AppendResult result = [&] {
        const WriteTimer timer(request.metrics);
        return store.appendEvent(event.write);
    }();
    if (request.metrics != nullptr) {
        if (result.status == AppendStatus::Stored) {
            request.metrics->eventStored();
        } else if (result.status == AppendStatus::Repeated) {
            request.metrics->repeatAnswered();
        }
    }
    switch (result.status) {
        case AppendStatus::UnknownUser:
            return refusal(404, "no user " + std::to_string(userId));
        case AppendStatus::CreditOutOfRange:
            return refusal(422, "the credit of user " + std::to_string(userId) + " (" +
                                    std::to_string(result.credit) +
                                    ") plus this event would leave the signed 32-bit range");
        case AppendStatus::KeyReused:
            return refusal(422, "this Idempotency-Key was used with another user or event");
        case AppendStatus::NotCovered:
            // Nothing stored, the key not kept: the same question asked again is decided
            // again, against the credit of then.
            return jsonReply(409, "{\"error\":\"insufficient credit\",\"credit\":" +
                                      std::to_string(result.credit) + "}");
        case AppendStatus::Stored:
        case AppendStatus::Repeated:
            break;
    }
    return jsonReply(201, "{\"user_id\":" + std::to_string(userId) +
                              ",\"event\":" + std::to_string(event.write.value) +
                              ",\"credit\":" + std::to_string(result.credit) + "}");
}

Reply postHeadCount(Store& store, const Request& request, const std::string& board) {
    Reply refused;
    const auto v = intMember(request.body, "v", 0, kIntMax, refused);
    if (!v) {
        return refused;
    }
    {
        const WriteTimer timer(request.metrics);
        store.recordHeadCount(*v, board, request.arrived);
    }
    return jsonReply(201, "{\"v\":" + std::to_string(*v) + "}");
}

Reply getHeadCount(Store& store) {
    const std::optional<HeadCount> latest = store.latestHeadCount();
    Reply reply = jsonReply(200, "{\"v\":" + std::to_string(latest ? latest->v : 0) + "}");
    if (latest) {
        reply.headers.emplace_back("Last-Modified", httpDate(latest->receivedAt));
    }
    return reply;
}

// The content type of an embedded file, by its extension.
const char* assetType(const std::string& name) {
    const std::string extension = name.substr(std::min(name.rfind('.'), name.size()));
    if (extension == ".html") {
        return "text/html; charset=utf-8";
    }
    if (extension == ".js") {
        return "text/javascript; charset=utf-8";
    }
    if (extension == ".css") {
        return "text/css; charset=utf-8";
    }
    if (extension == ".svg") {
        return "image/svg+xml";
    }
    return "text/plain; charset=utf-8";
}

Reply assetReply(const std::string& name) {
    const WebAsset* asset = findWebAsset(name);
    Reply reply;
    reply.contentType = assetType(name);
    reply.body = std::string(asset->body);
    // The files change only with the program; a new program must not meet an old page.
    reply.headers.emplace_back("Cache-Control", "no-cache");
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    // Scripts, styles and data from this server alone, and no frame: another site can
    // neither run code in the page nor show it under its own.
    reply.headers.emplace_back("Content-Security-Policy",
                               "default-src 'none'; script-src 'self'; style-src 'self'; "
                               "connect-src 'self'; img-src 'self'; base-uri 'none'; "
                               "form-action 'none'; frame-ancestors 'none'");
    reply.headers.emplace_back("X-Frame-Options", "DENY");
    return reply;
}

Reply occupancyReply(Store& store, const OpeningHours& hours) {
    Reply reply = jsonReply(200, occupancyJson(store, hours, std::time(nullptr)));
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

// The token of a roster request's query: the value of its one `after` parameter, taken
// as sent (a token needs no escaping); nothing without one, or with several.
std::optional<std::string> afterToken(const std::string& target) {
    const std::size_t query = target.find('?');
    std::optional<std::string> token;
    for (std::size_t start = query; start != std::string::npos;) {
        const std::size_t end = target.find('&', start + 1);
        const std::string parameter = target.substr(start + 1, end - start - 1);
        if (parameter.compare(0, 6, "after=") == 0) {
            if (token) {
                return std::nullopt;
            }
            token = parameter.substr(6);
        }
        start = end;
    }
    return token;
}

// The roster with its cursor, or the rows after the one asked for. A HEAD gets the same
// header without the rows.
Reply withCursor(Store& store, const Request& request, Reply reply) {
    const std::optional<std::string> after = afterToken(request.target);
    CursorRoster roster = store.openRosterWithCursor(after ? &*after : nullptr);
    if (!roster.cursor.empty()) {
        reply.headers.emplace_back("Roster-Cursor", roster.cursor);
    }
    if (roster.after) {
        reply.headers.emplace_back("Roster-After", *after);
    }
    if (request.method == "GET") {
        reply.roster = std::move(roster.stream);
    }
    return reply;
}

// The name of the board that sent `request` on a board's route: its certificate's, or
// else its one Catraca-Board field's ("" without one, the unnamed board); nothing when
// the field is malformed.
std::optional<std::string> boardOf(const Request& request) {
    if (request.certifiedBoard) {
        return request.certifiedBoard;
    }
    if (request.boardNames.empty()) {
        return std::string();
    }
    if (request.boardNames.size() == 1 && isBoardName(request.boardNames.front())) {
        return request.boardNames.front();
    }
    return std::nullopt;
}

Reply dispatch(Store& store, const Request& request, const OpeningHours& hours, bool online) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    std::string segment;
    Path route = classify(path, online, segment);
    if (route == Path::Metrics && request.metrics == nullptr) {
        route = Path::Unknown;
    }
    if (route == Path::Unknown) {
        return refusal(404, "no such path: " + path);
    }
    if ((request.roles & neededRole(route, request.method)) == 0) {
        return refusal(403, "this client may not use " + path);
    }
    if (!allows(route, request.method)) {
        Reply reply = refusal(405, "method " + request.method + " not allowed on " + path);
        reply.headers.emplace_back("Allow", allowedMethods(route));
        return reply;
    }
    if (request.method == "OPTIONS") {
        Reply reply;
        reply.status = 204;
        reply.headers.emplace_back("Allow", allowedMethods(route));
        return reply;
    }
    std::string board;
    if (isBoardRoute(route, request.method)) {
        auto named = boardOf(request);
        if (!named) {
            return refusal(400, "Catraca-Board must be one name of 1 to " +
                                    std::to_string(kMaxBoardNameBytes) +
                                    " printable characters without spaces");
        }
        board = std::move(*named);
    }
    if (request.method == "POST" && !isJsonType(request.contentType)) {
        return refusal(415, "the body must be sent with Content-Type application/json");
    }
    switch (route) {
        case Path::Roster: {
            Reply reply = jsonReply(200, "");
            reply.chunked = true;
            if (request.rosterCursors) {
                return withCursor(store, request, std::move(reply));
            }
            if (request.method == "GET") {
                reply.roster = store.openRoster();
            }
            return reply;
        }
        case Path::Upload:
            return postEvent(store, segment, request, board, false);
        case Path::Entry:
            return postEvent(store, segment, request, board, true);
        case Path::HeadCount:
            return request.method == "POST" ? postHeadCount(store, request, board)
                                            : getHeadCount(store);
        case Path::Page:
            return assetReply("index.html");
        case Path::Occupancy:
            return occupancyReply(store, hours);
        case Path::Asset:
            return assetReply(segment);
        case Path::Metrics: {
            Reply reply;
            reply.contentType = kMetricsContentType;
            reply.body = request.metrics->exposition(store, std::time(nullptr));
            reply.headers.emplace_back("Cache-Control", "no-store");
            return reply;
        }
        case Path::Unknown:
            break;
    }
    return refusal(404, "no such path: " + path);
}

std::string reasonText(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 403:
            return "this client is not allowed";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 413:
            return "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes";
        case 414:
            return "the request target is too long";
        case 421:
            return "this server does not answer to that name";
        case 431:
            return "the request header is too large";
        case 500:
            return "internal error";
        default:
            return "request refused";
    }
}

// Appends `field` with every byte outside printable ASCII percent-encoded, or "-" when empty:
// both come from the client, which must not be able to break or forge a log line. With
// `percent`, '%' itself is encoded too, so that a name cannot pass for an encoded one.
void appendLogField(std::string& line, const std::string& field, bool percent = false) {
    static const char kHex[] = "0123456789ABCDEF";
    if (field.empty()) {
        line += '-';
    }
    for (const char ch : field) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7F && (c != '%' || !percent)) {
            line.push_back(ch);
        } else {
            line.push_back('%');
            line.push_back(kHex[c >> 4]);
            line.push_back(kHex[c & 0x0F]);
        }
    }
}

}  // namespace

Reply route(Store& store, const Request& request, const OpeningHours& hours, bool online) {
    const auto report = [&request](const std::exception& e) {
        std::cerr << "ru-server: " << request.method << ' '
                  << request.target.substr(0, request.target.find('?')) << ": " << e.what()
                  << std::endl;
    };
    try {
        return dispatch(store, request, hours, online);
    } catch (const StoreBusy& e) {
        report(e);
        return refusal(503, "the database is busy; nothing was stored, try again");
    } catch (const StoreUnavailable& e) {
        report(e);
        return refusal(503, "the database is unavailable; try again");
    } catch (const std::exception& e) {
        report(e);
        return refusal(500, "internal error");
    }
}

bool isWrite(const Request& request, bool online) {
    std::string segment;
    const Path path = classify(request.target.substr(0, request.target.find('?')), online, segment);
    if (request.method != "POST" ||
        (path != Path::Upload && path != Path::Entry && path != Path::HeadCount) ||
        (request.roles & kBoard) == 0 || !isJsonType(request.contentType)) {
        return false;
    }
    // The checks of postHeadCount and postEvent made before the store, in their order.
    Reply refused;
    if (path == Path::HeadCount) {
        return intMember(request.body, "v", 0, kIntMax, refused).has_value();
    }
    const auto& keys = request.idempotencyKeys;
    return (keys.empty() || (keys.size() == 1 && parseIdempotencyKey(keys.front()))) &&
           intMember(request.body, "event_id", kIntMin, kIntMax, refused) && parseUserId(segment);
}

RouteLabel metricRoute(const std::string& method, const std::string& target, bool online) {
    std::string segment;
    switch (classify(target.substr(0, target.find('?')), online, segment)) {
        case Path::Roster:
            return RouteLabel::Roster;
        case Path::Upload:
            return RouteLabel::Upload;
        case Path::Entry:
            return RouteLabel::Entry;
        case Path::HeadCount:
            return method == "POST" ? RouteLabel::HeadCountReport : RouteLabel::HeadCount;
        case Path::Page:
            return RouteLabel::Page;
        case Path::Asset:
            return RouteLabel::Asset;
        case Path::Occupancy:
            return RouteLabel::Occupancy;
        case Path::Metrics:
            return RouteLabel::Metrics;
        case Path::Unknown:
            break;
    }
    return RouteLabel::Other;
}

Reply refusal(int status, const std::string& message) {
    return jsonReply(status, errorBody(message));
}

Reply refusal(int status) {
    return refusal(status, reasonText(status));
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 409:
            return "Conflict";
        case 415:
            return "Unsupported Media Type";
        case 421:
            return "Misdirected Request";
        case 422:
            return "Unprocessable Entity";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Unknown";
    }
}

std::string requestLogLine(const std::string& method, const std::string& target, int status,
                           const std::string& board) {
    std::string line;
    appendLogField(line, method);
    line += ' ';
    appendLogField(line, target);
    line += ' ';
    line += std::to_string(status);
    if (!board.empty()) {
        line += " board=";
        appendLogField(line, board, true);
    }
    return line;
}

}  // namespace ru
