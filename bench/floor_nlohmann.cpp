// Floor (a) of the start-up: the roster downloaded, then run through nlohmann-json's
// SAX parser with a handler that does nothing. Prints the seconds both took.
//
// Usage: floor_nlohmann URL
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "floor_download.h"

namespace {

using json = nlohmann::json;

struct Nothing : json::json_sax_t {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_nlohmann URL\n");
        return 2;
    }
    // libcurl's process set-up is not part of the work being measured.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto t = std::chrono::steady_clock::now();
    std::string body = floorbench::download(argv[1], 0);
    Nothing nothing;
    bool ok = json::sax_parse(body, &nothing);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    std::printf("%.6f\n", s);
    return ok ? 0 : 1;
}
