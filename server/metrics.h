#ifndef RU_SERVER_METRICS_H
#define RU_SERVER_METRICS_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace ru {

class Store;

// The routes as the metrics name them: a fixed set, never the target as sent, so that no
// client can make the server keep one more series.
enum class RouteLabel : unsigned char {
    Roster,           // GET /transaction, with or without ?after
    Upload,           // POST /transaction/<user_id>
    Entry,            // POST /entrada/<user_id>
    HeadCountReport,  // POST /contador
    HeadCount,        // GET /contador
    Page,             // GET /
    Asset,            // GET /web/<file>
    Occupancy,        // GET /painel
    Metrics,          // GET /metrics
    Other,            // anything else: unknown paths, requests refused before their path
};
constexpr std::size_t kRouteLabels = 10;

// The label value of `route`: "roster", "upload", ...
const char* routeLabelName(RouteLabel route);

// A histogram of durations with fixed buckets, from 1 ms to 10 s. Observing is a few
// relaxed atomic additions; a scrape may see one observation in the buckets and not yet
// in the sum, never a count that disagrees with the buckets (the count is their sum).
class DurationHistogram {
  public:
    static constexpr std::size_t kBounds = 13;
    void observe(std::chrono::nanoseconds took);
    // Appends the _bucket, _sum and _count lines of `name`, with `labels` (already
    // formatted, `route="upload"`, or empty) before `le`.
    void write(std::string& out, const char* name, const std::string& labels) const;

  private:
    std::array<std::atomic<std::uint64_t>, kBounds + 1> counts_{};  // the last: above all
    std::atomic<std::uint64_t> sumNanos_{0};
};

// The counters of one server, counted by the transport and the routes as requests go and
// read from any thread. Counting never waits: relaxed atomics in fixed arrays; the scrape
// does the formatting, and reads the boards' head-counts from the store.
class Metrics {
  public:
    enum class Refusal { AllowList, Caps };

    void connectionOpened() { open_.fetch_add(1, std::memory_order_relaxed); }
    void connectionClosed() { open_.fetch_sub(1, std::memory_order_relaxed); }
    void connectionRefused(Refusal why);

    // One answered request; for the roster, uploads and online entries, `took` goes into
    // their duration histogram too.
    void request(RouteLabel route, int status, std::chrono::nanoseconds took);
    void eventStored() { eventsStored_.fetch_add(1, std::memory_order_relaxed); }
    void repeatAnswered() { repeats_.fetch_add(1, std::memory_order_relaxed); }
    // One write to the store that returned (committed, or found nothing to commit).
    void storeWrite(std::chrono::nanoseconds took) { storeWrites_.observe(took); }

    // Where the count of dropped log lines comes from; set before the server runs.
    void countLogDropped(std::function<std::uint64_t()> dropped) {
        logDropped_ = std::move(dropped);
    }

    // The exposition in the Prometheus text format (version 0.0.4), with each board's
    // head-count and the age of its report read from `store` now (`now` in seconds since
    // the Unix epoch). A store that cannot be read leaves those out and says so in
    // ru_store_up.
    std::string exposition(Store& store, std::int64_t now) const;

  private:
    static constexpr int kFirstStatus = 100;
    static constexpr int kStatuses = 500;  // 100 to 599

    std::array<std::array<std::atomic<std::uint64_t>, kStatuses>, kRouteLabels> requests_{};
    std::array<DurationHistogram, 3> durations_;  // roster, upload, entry
    std::atomic<std::int64_t> open_{0};
    std::array<std::atomic<std::uint64_t>, 2> refused_{};
    std::atomic<std::uint64_t> eventsStored_{0};
    std::atomic<std::uint64_t> repeats_{0};
    DurationHistogram storeWrites_;
    std::function<std::uint64_t()> logDropped_;
};

// Content-Type of the exposition.
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// `value` as a label value of the text format: backslash, double quote and line feed
// escaped.
std::string escapeLabelValue(const std::string& value);

}  // namespace ru

#endif
