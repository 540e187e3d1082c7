#include "restclient/helpers.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

#include "restclient/restclient.h"

namespace RestClient {
namespace Helpers {

namespace {

// Bytes of 0x80 and above are passed as unsigned char: isspace on a negative char
// is undefined.
bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Larger announced sizes are not taken on trust: such a body grows as it arrives.
constexpr size_t kMaiorReserva = size_t{1} << 30;

// Reserves the announced body size once; an absurd or malformed size is ignored and
// the body simply grows as it arrives.
void reservaCorpo(Response* r, const std::string& valor) {
    if (valor.empty() || valor.size() > 10 ||
        std::find_if_not(valor.begin(), valor.end(), isDigit) != valor.end()) {
        return;
    }
    size_t tamanho = std::stoull(valor);
    if (tamanho > kMaiorReserva) {
        return;
    }
    try {
        r->body.reserve(r->body.size() + tamanho + kFolgaCorpo);
    } catch (const std::exception&) {
        // Not enough memory to reserve at once: the body grows as it arrives.
    }
}

bool isContentLength(const std::string& key) {
    static const char kNome[] = "content-length";
    if (key.size() != sizeof kNome - 1) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(key[i])) != kNome[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

size_t write_callback(void* data, size_t size, size_t nmemb, void* userdata) {
    Response* r = static_cast<Response*>(userdata);
    r->body.append(static_cast<const char*>(data), size * nmemb);
    return size * nmemb;
}

namespace {

// Stores one header line in `r` (see header_callback); true when it is a Content-Length,
// whose value is then in `*longo`.
bool guardaCabecalho(Response* r, const char* data, size_t n, std::string* longo) {
    std::string header(data, n);
    size_t colon = header.find(':');
    if (colon == std::string::npos) {
        trim(header);
        if (!header.empty()) {
            r->headers[header] = "present";
        }
        return false;
    }
    std::string key = header.substr(0, colon);
    std::string value = header.substr(colon + 1);
    trim(key);
    trim(value);
    bool comprimento = isContentLength(key);
    if (comprimento) {
        *longo = value;
    }
    r->headers[key] = value;
    return comprimento;
}

}  // namespace

size_t header_callback(void* data, size_t size, size_t nmemb, void* userdata) {
    Response* r = static_cast<Response*>(userdata);
    std::string longo;
    if (guardaCabecalho(r, static_cast<const char*>(data), size * nmemb, &longo)) {
        reservaCorpo(r, longo);
    }
    return size * nmemb;
}

size_t stream_header_callback(void* data, size_t size, size_t nmemb, void* userdata) {
    std::string longo;
    guardaCabecalho(static_cast<Response*>(userdata), static_cast<const char*>(data), size * nmemb,
                    &longo);
    return size * nmemb;
}

size_t read_callback(void* data, size_t size, size_t nmemb, void* userdata) {
    UploadObject* u = static_cast<UploadObject*>(userdata);
    size_t copy_size = std::min(u->length, size * nmemb);
    if (copy_size > 0) {
        std::memcpy(data, u->data, copy_size);
        u->length -= copy_size;
        u->data += copy_size;
    }
    return copy_size;
}

std::string& ltrim(std::string& s) {
    s.erase(s.begin(), std::find_if_not(s.begin(), s.end(), isSpace));
    return s;
}

std::string& rtrim(std::string& s) {
    s.erase(std::find_if_not(s.rbegin(), s.rend(), isSpace).base(), s.end());
    return s;
}

std::string& trim(std::string& s) {
    return ltrim(rtrim(s));
}

}  // namespace Helpers
}  // namespace RestClient
