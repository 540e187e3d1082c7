#ifndef CATRACA_RESTCLIENT_HELPERS_H
#define CATRACA_RESTCLIENT_HELPERS_H

#include <cstddef>
#include <string>

// libcurl transfer callbacks and the string trimming they use. The callbacks keep no
// state; each touches only its `userdata`.
namespace RestClient {
namespace Helpers {

// Read cursor over a request body. It never owns `data`: the string it points into
// must outlive the transfer. `length` is the number of bytes still to send.
struct UploadObject {
    const char* data;
    size_t length;
};

// Spare bytes reserved behind every body whose size is announced: a parser that reads
// in wide blocks can then take the body in place, without a padded copy.
constexpr size_t kFolgaCorpo = 64;

// CURLOPT_WRITEFUNCTION; `userdata` is a RestClient::Response. Appends the bytes to
// its body and returns size * nmemb.
size_t write_callback(void* data, size_t size, size_t nmemb, void* userdata);

// CURLOPT_HEADERFUNCTION; `userdata` is a RestClient::Response. Stores one header
// line in its headers: split at the first colon, name and value trimmed, a later
// line overwriting an earlier one of the same name. A line without a colon is stored
// whole (trimmed) with the value "present"; a blank line is ignored. A Content-Length
// (any letter case) reserves the body once for that many bytes plus kFolgaCorpo, so
// that it never grows by copies; a size above 1 GiB, one that is not a plain decimal,
// or one that cannot be reserved is left to growth.
// Returns size * nmemb.
size_t header_callback(void* data, size_t size, size_t nmemb, void* userdata);

// CURLOPT_HEADERFUNCTION for a body handed to a sink as it arrives: stores the line as
// header_callback does, but reserves nothing for the body. Returns size * nmemb.
size_t stream_header_callback(void* data, size_t size, size_t nmemb, void* userdata);

// CURLOPT_READFUNCTION; `userdata` is an UploadObject. Copies at most size * nmemb
// bytes to `data`, advances the cursor and returns the count; 0 once it is exhausted.
size_t read_callback(void* data, size_t size, size_t nmemb, void* userdata);

// Remove whitespace (space, \t, \n, \v, \f, \r and nothing else) in place, at the
// start, the end, or both, and return `s`. Bytes 0x80 and above are never whitespace.
std::string& ltrim(std::string& s);
std::string& rtrim(std::string& s);
std::string& trim(std::string& s);

}  // namespace Helpers
}  // namespace RestClient

#endif
