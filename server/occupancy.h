#ifndef RU_SERVER_OCCUPANCY_H
#define RU_SERVER_OCCUPANCY_H

#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace ru {

// The restaurant's opening hours: periods of the day in the server's local time, each from
// its first minute up to (not including) its last, in minutes since midnight. Periods do not
// cross midnight. Default: lunch and dinner, 10:30-14:00 and 17:00-20:30.
struct OpeningHours {
    std::vector<std::pair<int, int>> periods{{10 * 60 + 30, 14 * 60}, {17 * 60, 20 * 60 + 30}};

    // "HH:MM-HH:MM[,HH:MM-HH:MM]...", each period starting before it ends; nothing when
    // `text` is not such a list.
    static std::optional<OpeningHours> parse(const std::string& text);
    // The same form as parse() reads.
    std::string text() const;
};

// The length of a slot of the meal chart.
constexpr int kSlotMinutes = 15;
// Turnstiles silent this long during opening hours may be down.
constexpr int kSilentSeconds = 10 * 60;

// The body of GET /painel at `now`: the head-count and the day's figures that the occupancy
// page shows, each board's count, and how many students are overdrawn, as a JSON object
// (see routes.h). "Today" is the server's local day of `now`. Holds nothing about any
// student. Throws StoreError.
std::string occupancyJson(Store& store, const OpeningHours& hours, std::time_t now);

}  // namespace ru

#endif
