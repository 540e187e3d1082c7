#include "restclient/restclient.h"

#include <curl/curl.h>

#include <memory>

#include "restclient/connection.h"

namespace RestClient {

int init() {
    return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK ? 0 : 1;
}

void disable() {
    curl_global_cleanup();
}

Response get(const std::string& url) {
    auto conn = std::make_unique<Connection>("");
    return conn->get(url);
}

Response post(const std::string& url, const std::string& ctype, const std::string& data) {
    auto conn = std::make_unique<Connection>("");
    conn->AppendHeader("Content-Type", ctype);
    return conn->post(url, data);
}

Response put(const std::string& url, const std::string& ctype, const std::string& data) {
    auto conn = std::make_unique<Connection>("");
    conn->AppendHeader("Content-Type", ctype);
    return conn->put(url, data);
}

Response del(const std::string& url) {
    auto conn = std::make_unique<Connection>("");
    return conn->del(url);
}

Response head(const std::string& url) {
    auto conn = std::make_unique<Connection>("");
    return conn->head(url);
}

}  // namespace RestClient
