#include "occupancy.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>

namespace ru {

namespace {

using nlohmann::json;

// Minutes since midnight of "HH:MM", up to 24:00.
std::optional<int> parseClock(const std::string& text) {
    if (text.size() != 5 || text[2] != ':') {
        return std::nullopt;
    }
    for (const std::size_t i : {0, 1, 3, 4}) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    const int hours = (text[0] - '0') * 10 + (text[1] - '0');
    const int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    if (minutes > 59 || hours * 60 + minutes > 24 * 60) {
        return std::nullopt;
    }
    return hours * 60 + minutes;
}

std::string clockText(int minutes) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", minutes / 60 % 100, minutes % 60);
    return text;
}

std::tm localTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

// The moment of `minutes` past midnight on the local day of `day` (a DST change that day
// is taken into account by mktime).
std::time_t atMinute(const std::tm& day, int minutes) {
    std::tm tm = day;
    tm.tm_hour = minutes / 60;
    tm.tm_min = minutes % 60;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

// ISO 8601 in the server's local time with its offset, "2026-03-02T11:45:07-03:00": the
// page shows the restaurant's clock whatever the clock of the browser.
std::string localIso(std::time_t t) {
    const std::tm tm = localTime(t);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &tm);
    std::string iso = text;
    iso.insert(iso.size() - 2, ":");
    return iso;
}

json optionalTime(const std::optional<std::int64_t>& t) {
    return t ? json(localIso(static_cast<std::time_t>(*t))) : json(nullptr);
}

// Whether `now` is within the opening hours of the day `today`, and then whether nothing
// was reported for kSilentSeconds, counted from the opening: the night's quiet is no fault.
struct OpenState {
    bool open = false;
    bool silent = false;
};
OpenState openState(const OpeningHours& hours, const std::tm& today, std::time_t now,
                    const std::optional<std::int64_t>& lastReport) {
    OpenState state;
    for (const auto& [from, to] : hours.periods) {
        const std::time_t opens = atMinute(today, from);
        if (now >= opens && now < atMinute(today, to)) {
            state.open = true;
            state.silent =
                now - std::max<std::int64_t>(lastReport.value_or(opens), opens) >= kSilentSeconds;
        }
    }
    return state;
}

// The restaurant's head-count while reports come in: each board's latest count, summed.
class RunningTotal {
  public:
    explicit RunningTotal(const std::vector<HeadCount>& before) {
        for (const HeadCount& count : before) {
            add(count);
        }
    }
    void add(const HeadCount& count) {
        auto [at, fresh] = latest_.emplace(count.board, count.v);
        sum_ += fresh ? count.v : count.v - at->second;
        at->second = count.v;
    }
    // Nothing before the first report.
    std::optional<std::int32_t> value() const {
        if (latest_.empty()) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(
            std::min<std::int64_t>(sum_, std::numeric_limits<std::int32_t>::max()));
    }

  private:
    std::map<std::string, std::int32_t> latest_;
    std::int64_t sum_ = 0;
};

}  // namespace

std::optional<OpeningHours> OpeningHours::parse(const std::string& text) {
    OpeningHours hours;
    hours.periods.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string period = text.substr(start, comma - start);
        if (period.size() != 11 || period[5] != '-') {
            return std::nullopt;
        }
        const auto from = parseClock(period.substr(0, 5));
        const auto to = parseClock(period.substr(6));
        if (!from || !to || *from >= *to) {
            return std::nullopt;
        }
        hours.periods.emplace_back(*from, *to);
        start = comma + 1;
    }
    return hours;
}

std::string OpeningHours::text() const {
    std::string text;
    for (const auto& [from, to] : periods) {
        if (!text.empty()) {
            text += ',';
        }
        text += clockText(from) + "-" + clockText(to);
    }
    return text;
}

std::string occupancyJson(Store& store, const OpeningHours& hours, std::time_t now) {
    const std::tm today = localTime(now);
    std::tm tomorrow = today;
    tomorrow.tm_mday += 1;
    const std::time_t dayStart = atMinute(today, 0);
    const std::time_t dayEnd = atMinute(tomorrow, 0);
    const std::int64_t slotSeconds = kSlotMinutes * 60;
    const Activity activity = store.activity(dayStart, dayEnd, slotSeconds);

    const std::optional<HeadCount> total = restaurantTotal(activity.latestHeadCounts);
    std::optional<std::int64_t> lastReport = activity.latestEventAt;
    if (total) {
        lastReport = std::max(lastReport.value_or(total->receivedAt), total->receivedAt);
    }
    const OpenState state = openState(hours, today, now, lastReport);

    // Each board apart, its last report being its latest head-count.
    json boards = json::array();
    for (const HeadCount& count : activity.latestHeadCounts) {
        boards.push_back({{"board", count.board},
                          {"headcount", count.v},
                          {"last_report", localIso(static_cast<std::time_t>(count.receivedAt))},
                          {"silent", openState(hours, today, now, count.receivedAt).silent}});
    }

    json slots = json::array();
    std::int64_t meals = 0;
    RunningTotal running(activity.headCountsBefore);
    std::optional<std::int32_t> current = running.value();
    auto report = activity.headCounts.begin();
    for (std::size_t i = 0; i < activity.mealsPerSlot.size(); ++i) {
        const std::int64_t slotStart = dayStart + static_cast<std::int64_t>(i) * slotSeconds;
        const std::int64_t slotEnd = slotStart + slotSeconds;
        // The highest head-count known during the slot: the one carried in, and each new one.
        std::optional<std::int32_t> peak = current;
        for (; report != activity.headCounts.end() && report->receivedAt < slotEnd; ++report) {
            running.add(*report);
            current = running.value();
            peak = std::max(peak.value_or(*current), *current);
        }
        const std::tm start = localTime(static_cast<std::time_t>(slotStart));
        meals += activity.mealsPerSlot[i];
        slots.push_back({{"start", clockText(start.tm_hour * 60 + start.tm_min)},
                         {"meals", activity.mealsPerSlot[i]},
                         {"headcount", slotStart <= now && peak ? json(*peak) : json(nullptr)}});
    }

    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &today);
    const json body = {
        {"date", date},
        {"now", localIso(now)},
        {"headcount", total ? total->v : 0},
        {"last_report", optionalTime(lastReport)},
        {"open", state.open},
        {"silent", state.silent},
        {"boards", boards},
        {"overdrawn", activity.overdrawnStudents},
        {"opening_hours", hours.text()},
        {"meals_today", meals},
        {"slot_minutes", kSlotMinutes},
        {"slots", slots},
    };
    return body.dump();
}

}  // namespace ru
