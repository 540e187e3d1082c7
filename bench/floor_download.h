#ifndef CATRACA_BENCH_FLOOR_DOWNLOAD_H
#define CATRACA_BENCH_FLOOR_DOWNLOAD_H

// The least a download can do, for the floor programs: one GET with libcurl into a
// string reserved once from Content-Length, with `padding` spare bytes behind it.

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace floorbench {

struct Body {
    std::string bytes;
    size_t padding = 0;
};

inline size_t onHeader(char* data, size_t size, size_t n, void* user) {
    Body* b = static_cast<Body*>(user);
    const char kName[] = "content-length:";
    size_t len = size * n;
    if (len > sizeof kName - 1 && strncasecmp(data, kName, sizeof kName - 1) == 0) {
        b->bytes.reserve(std::strtoull(data + sizeof kName - 1, nullptr, 10) + b->padding);
    }
    return len;
}

inline size_t onBody(char* data, size_t size, size_t n, void* user) {
    static_cast<Body*>(user)->bytes.append(data, size * n);
    return size * n;
}

// The body of GET `url`, or exits with status 2 when the transfer fails.
inline std::string download(const std::string& url, size_t padding) {
    Body body;
    body.padding = padding;
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &body);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(h) != CURLE_OK) {
        std::exit(2);
    }
    curl_easy_cleanup(h);
    return std::move(body.bytes);
}

}  // namespace floorbench

#endif
