// Floor (c) of the start-up: the roster's download alone, every byte dropped as it
// arrives, the least any reader of the roster waits for. Prints the seconds it took.
//
// Usage: floor_fetch URL
#include <curl/curl.h>

#include <chrono>
#include <cstdio>

namespace {

size_t drop(char*, size_t size, size_t n, void* total) {
    *static_cast<size_t*>(total) += size * n;
    return size * n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: floor_fetch URL\n");
        return 2;
    }
    // libcurl's process set-up is not part of the work being measured.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto t = std::chrono::steady_clock::now();
    size_t total = 0;
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, argv[1]);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, drop);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &total);
    if (curl_easy_perform(h) != CURLE_OK) {
        return 2;
    }
    curl_easy_cleanup(h);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    std::printf("%.6f %zu\n", s, total);
    return 0;
}
