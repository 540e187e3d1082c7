// Floor (b) of the start-up: the roster downloaded into a padded buffer, then visited
// with simdjson's On-Demand API, every row, every field the roster needs, summing the
// credit per user. Prints the seconds both took.
//
// Usage: floor_simdjson URL
#include <simdjson.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <unordered_map>

#include "floor_download.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_simdjson URL\n");
        return 2;
    }
    // libcurl's process set-up is not part of the work being measured.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto t = std::chrono::steady_clock::now();
    std::string body = floorbench::download(argv[1], simdjson::SIMDJSON_PADDING);
    if (body.capacity() - body.size() < simdjson::SIMDJSON_PADDING) {
        body.reserve(body.size() + simdjson::SIMDJSON_PADDING);
    }
    simdjson::ondemand::parser parser;
    simdjson::ondemand::document doc =
        parser.iterate(simdjson::padded_string_view(body.data(), body.size(), body.capacity()));
    std::unordered_map<int64_t, int64_t> credit;
    size_t text = 0;
    for (auto row : doc.get_array()) {
        simdjson::ondemand::object o = row.get_object();
        text += std::string_view(o["cardID"]).size();
        int64_t user = o["user_id"];
        credit[user] += int64_t(o["event"]);
        text += std::string_view(o["matricula"]).size();
        text += std::string_view(o["salt"]).size();
        text += std::string_view(o["n_password_hash"]).size();
    }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    // The sums are printed so that no work can be left out.
    std::printf("%.6f %zu %zu\n", s, credit.size(), text);
    return 0;
}
