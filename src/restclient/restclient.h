#ifndef CATRACA_RESTCLIENT_RESTCLIENT_H
#define CATRACA_RESTCLIENT_RESTCLIENT_H

#include <map>
#include <string>

// A small synchronous HTTP client over libcurl. The one-shot functions below each
// create a Connection with an empty base URL, make exactly one request and return
// its Response; they share nothing between calls. Transfer failures never throw:
// they come back as a Response whose code is not an HTTP status. The only exception
// is std::runtime_error("Couldn't initialize curl handle") when libcurl cannot
// create a handle.
namespace RestClient {

// Header name to value, ordered byte-wise: names are case-sensitive, each at most once.
typedef std::map<std::string, std::string> HeaderFields;

// The outcome of one request. When the transfer completed, `code` is the HTTP status
// and `body` the response body byte for byte (zero bytes included). When it failed,
// `code` is 28 (time-out, body "Operation Timeout."), 58 (client certificate problem,
// body libcurl's text) or -1 (anything else, body "Failed to query.", or "Transfer
// aborted." when a Connection's abort check ended it). `headers`
// holds every response header line received, failed transfers included; a line
// without a colon (such as the status line) is stored with the value "present".
struct Response {
    int code = 0;
    std::string body;
    HeaderFields headers;
};

// libcurl's process-wide set-up: 0 on success, 1 otherwise. Optional; the first
// request sets libcurl up by itself.
int init();
// libcurl's process-wide clean-up; no request may run during or after it.
void disable();

// URLs are used exactly as given; one without a scheme is plain HTTP. Only http and
// https are ever spoken, redirects (never followed here) included. post and put send
// the single request header Content-Type: ctype, and `data` byte for byte.
Response get(const std::string& url);
Response post(const std::string& url, const std::string& ctype, const std::string& data);
Response put(const std::string& url, const std::string& ctype, const std::string& data);
Response del(const std::string& url);
Response head(const std::string& url);

}  // namespace RestClient

#endif
