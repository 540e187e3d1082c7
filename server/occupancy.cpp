#include "occupancy.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

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

    std::optional<std::int64_t> lastReport = activity.latestEventAt;
    if (activity.latestHeadCount) {
        lastReport = std::max(lastReport.value_or(activity.latestHeadCount->receivedAt),
                              activity.latestHeadCount->receivedAt);
    }
    bool open = false;
    bool silent = false;
    for (const auto& [from, to] : hours.periods) {
        const std::time_t opens = atMinute(today, from);
        if (now >= opens && now < atMinute(today, to)) {
            open = true;
            // Counted from the opening: the night's quiet is no fault.
            silent =
                now - std::max<std::int64_t>(lastReport.value_or(opens), opens) >= kSilentSeconds;
        }
    }

    json slots = json::array();
    std::int64_t meals = 0;
    std::optional<std::int32_t> current;
    if (activity.headCountBefore) {
        current = activity.headCountBefore->v;
    }
    auto report = activity.headCounts.begin();
    for (std::size_t i = 0; i < activity.mealsPerSlot.size(); ++i) {
        const std::int64_t slotStart = dayStart + static_cast<std::int64_t>(i) * slotSeconds;
        const std::int64_t slotEnd = slotStart + slotSeconds;
        // The highest head-count known during the slot: the one carried in, and each new one.
        std::optional<std::int32_t> peak = current;
        for (; report != activity.headCounts.end() && report->receivedAt < slotEnd; ++report) {
            peak = std::max(peak.value_or(report->v), report->v);
            current = report->v;
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
        {"headcount", activity.latestHeadCount ? activity.latestHeadCount->v : 0},
        {"last_report", optionalTime(lastReport)},
        {"open", open},
        {"silent", silent},
        {"opening_hours", hours.text()},
        {"meals_today", meals},
        {"slot_minutes", kSlotMinutes},
        {"slots", slots},
    };
    return body.dump();
}

}  // namespace ru
