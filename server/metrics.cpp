#include "metrics.h"

#include <algorithm>
#include <cstdio>

#include "store.h"

namespace ru {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// The bucket bounds, in seconds, and as written: a commit takes milliseconds, a roster
// download over a slow link seconds.
constexpr double kBoundSeconds[DurationHistogram::kBounds] = {
    0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr const char* kBoundText[DurationHistogram::kBounds] = {
    "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1",
    "0.25",  "0.5",    "1",     "2.5",  "5",     "10"};

constexpr RouteLabel kTimedRoutes[] = {RouteLabel::Roster, RouteLabel::Upload, RouteLabel::Entry};

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, std::uint64_t value) {
    out += name;
    if (!labels.empty()) {
        out += '{' + labels + '}';
    }
    out += ' ' + std::to_string(value) + '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, std::int64_t value) {
    out += name;
    if (!labels.empty()) {
        out += '{' + labels + '}';
    }
    out += ' ' + std::to_string(value) + '\n';
}

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + escapeLabelValue(value) + '"';
}

}  // namespace

const char* routeLabelName(RouteLabel route) {
    switch (route) {
        case RouteLabel::Roster:
            return "roster";
        case RouteLabel::Upload:
            return "upload";
        case RouteLabel::Entry:
            return "entry";
        case RouteLabel::HeadCountReport:
            return "headcount_report";
        case RouteLabel::HeadCount:
            return "headcount";
        case RouteLabel::Page:
            return "page";
        case RouteLabel::Asset:
            return "web";
        case RouteLabel::Occupancy:
            return "painel";
        case RouteLabel::Metrics:
            return "metrics";
        case RouteLabel::Other:
            break;
    }
    return "other";
}

std::string escapeLabelValue(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void DurationHistogram::observe(std::chrono::nanoseconds took) {
    const double seconds = std::chrono::duration<double>(took).count();
    std::size_t bucket = 0;
    while (bucket < kBounds && seconds > kBoundSeconds[bucket]) {
        ++bucket;
    }
    counts_[bucket].fetch_add(1, kRelaxed);
    sumNanos_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(0, took.count())),
                        kRelaxed);
}

void DurationHistogram::write(std::string& out, const char* name, const std::string& labels) const {
    const std::string prefix = labels.empty() ? labels : labels + ",";
    const std::string base = name;
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i <= kBounds; ++i) {
        cumulative += counts_[i].load(kRelaxed);
        const std::string le = i < kBounds ? kBoundText[i] : "+Inf";
        sample(out, (base + "_bucket").c_str(), prefix + "le=\"" + le + "\"", cumulative);
    }
    char sum[64];
    std::snprintf(sum, sizeof sum, "%.9f", static_cast<double>(sumNanos_.load(kRelaxed)) / 1e9);
    out += base + "_sum" + (labels.empty() ? "" : "{" + labels + "}") + ' ' + sum + '\n';
    sample(out, (base + "_count").c_str(), labels, cumulative);
}

void Metrics::connectionRefused(Refusal why) {
    refused_[why == Refusal::AllowList ? 0 : 1].fetch_add(1, kRelaxed);
}

void Metrics::request(RouteLabel route, int status, std::chrono::nanoseconds took) {
    const auto r = static_cast<std::size_t>(route);
    if (status >= kFirstStatus && status < kFirstStatus + kStatuses) {
        requests_[r][static_cast<std::size_t>(status - kFirstStatus)].fetch_add(1, kRelaxed);
    }
    for (std::size_t i = 0; i < durations_.size(); ++i) {
        if (kTimedRoutes[i] == route) {
            durations_[i].observe(took);
        }
    }
}

std::string Metrics::exposition(Store& store, std::int64_t now) const {
    std::string out;
    family(out, "ru_build_info", "gauge", "The version of this ru-server; always 1.");
    sample(out, "ru_build_info", label("version", CATRACA_VERSION), std::uint64_t{1});

    family(out, "ru_requests_total", "counter", "Requests answered, by route and status.");
    for (std::size_t r = 0; r < kRouteLabels; ++r) {
        for (int s = 0; s < kStatuses; ++s) {
            const std::uint64_t n = requests_[r][static_cast<std::size_t>(s)].load(kRelaxed);
            if (n > 0) {
                sample(out, "ru_requests_total",
                       label("route", routeLabelName(static_cast<RouteLabel>(r))) + "," +
                           label("status", std::to_string(kFirstStatus + s)),
                       n);
            }
        }
    }

    family(out, "ru_request_duration_seconds", "histogram",
           "Time from a request's header to the end of its answer, for roster downloads, "
           "uploads and online entries.");
    for (std::size_t i = 0; i < durations_.size(); ++i) {
        durations_[i].write(out, "ru_request_duration_seconds",
                            label("route", routeLabelName(kTimedRoutes[i])));
    }

    family(out, "ru_connections_open", "gauge", "Connections open now.");
    sample(out, "ru_connections_open", "", open_.load(kRelaxed));
    family(out, "ru_connections_refused_total", "counter",
           "Connections closed at accept: from outside every allow-list, or over a cap.");
    sample(out, "ru_connections_refused_total", label("reason", "allow_list"),
           refused_[0].load(kRelaxed));
    sample(out, "ru_connections_refused_total", label("reason", "caps"),
           refused_[1].load(kRelaxed));

    family(out, "ru_events_stored_total", "counter",
           "Events committed by uploads and online entries.");
    sample(out, "ru_events_stored_total", "", eventsStored_.load(kRelaxed));
    family(out, "ru_idempotent_repeats_total", "counter",
           "Uploads and entries whose idempotency key was stored already: answered as the "
           "first time, nothing stored.");
    sample(out, "ru_idempotent_repeats_total", "", repeats_.load(kRelaxed));

    family(out, "ru_store_commit_duration_seconds", "histogram",
           "Time of each write to the store (event or head-count), from its call to its "
           "commit, the wait for the database's lock included.");
    storeWrites_.write(out, "ru_store_commit_duration_seconds", "");

    family(out, "ru_log_lines_dropped_total", "counter",
           "Log lines dropped because the log's reader fell behind.");
    sample(out, "ru_log_lines_dropped_total", "", logDropped_ ? logDropped_() : std::uint64_t{0});

    // Read last, so that a slow or failing database costs only these lines.
    std::string boards;
    std::string ages;
    bool read = true;
    try {
        for (const HeadCount& count : store.latestHeadCounts()) {
            const std::string board = label("board", count.board);
            sample(boards, "ru_board_headcount", board, std::int64_t{count.v});
            sample(ages, "ru_board_last_report_age_seconds", board, now - count.receivedAt);
        }
    } catch (const StoreError&) {
        read = false;
        boards.clear();
        ages.clear();
    }
    family(out, "ru_store_up", "gauge",
           "Whether the store answered this scrape's read of the head-counts (1) or not (0).");
    sample(out, "ru_store_up", "", std::uint64_t{read ? 1u : 0u});
    family(out, "ru_board_headcount", "gauge",
           "The latest head-count of each board that ever reported (board=\"\" the unnamed "
           "one).");
    out += boards;
    family(out, "ru_board_last_report_age_seconds", "gauge",
           "Seconds since each board's latest head-count report arrived.");
    out += ages;
    return out;
}

}  // namespace ru
