#ifndef RU_SERVER_WEB_ASSETS_H
#define RU_SERVER_WEB_ASSETS_H

#include <string_view>

namespace ru {

// A file of server/web, built into the program so that the occupancy page needs nothing
// but ru-server (no internet access, no files beside it). The bytes live as long as the
// program.
struct WebAsset {
    std::string_view name;  // the file name, "index.html"
    std::string_view body;
};

// The embedded file called `name`, or null.
const WebAsset* findWebAsset(std::string_view name);

}  // namespace ru

#endif
