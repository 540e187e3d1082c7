#include "restclient/connection.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "restclient/helpers.h"

namespace RestClient {

namespace {

// Operator-typed addresses must never make libcurl read a file or speak anything
// but HTTP, neither directly nor through a redirect.
const char kAllowedProtocols[] = "http,https";

// The read buffer of a request whose body goes to a sink (libcurl's default is 16 KiB).
const long kSinkBuffer = 256 * 1024;

// libcurl drops a custom header whose value is blank ("Name: " means "remove
// Name"); "Name;" is its way of sending Name with an empty value.
bool isBlank(const std::string& s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Connection::Connection(const std::string& url)
    : curlHandle(curl_easy_init()),
      baseUrl(url),
      timeout(0),
      followRedirects(false),
      noSignal(false),
      basicAuth(),
      lastRequest(),
      connectTimeout(0),
      stallTimeout(0) {
    if (curlHandle == nullptr) {
        throw std::runtime_error("Couldn't initialize curl handle");
    }
}

Connection::~Connection() {
    if (curlHandle != nullptr) {
        curl_easy_cleanup(curlHandle);
    }
}

void Connection::SetBasicAuth(const std::string& username, const std::string& password) {
    basicAuth.username = username;
    basicAuth.password = password;
}

void Connection::SetTimeout(int seconds) {
    timeout = seconds;
}

void Connection::SetConnectTimeout(int seconds) {
    connectTimeout = seconds;
}

void Connection::SetStallTimeout(int seconds) {
    stallTimeout = seconds;
}

void Connection::SetAbortCheck(std::function<bool()> check) {
    abortCheck = std::move(check);
}

void Connection::SetBodySink(BodySink sink) {
    bodySink = std::move(sink);
}

void Connection::SetNoSignal(bool no) {
    noSignal = no;
}

void Connection::FollowRedirects(bool follow) {
    followRedirects = follow;
}

void Connection::SetUserAgent(const std::string& userAgent) {
    customUserAgent = userAgent;
}

void Connection::SetCAInfoFilePath(const std::string& value) {
    caInfoFilePath = value;
}

void Connection::SetCertPath(const std::string& cert) {
    certPath = cert;
}

void Connection::SetCertType(const std::string& value) {
    certType = value;
}

void Connection::SetKeyPath(const std::string& value) {
    keyPath = value;
}

void Connection::SetKeyPassword(const std::string& value) {
    keyPassword = value;
}

void Connection::SetProxy(const std::string& proxy) {
    std::string uriProxyUpper = proxy;
    // Bytes of 0x80 and above are passed as unsigned char: toupper on a negative
    // char is undefined.
    std::transform(uriProxyUpper.begin(), uriProxyUpper.end(), uriProxyUpper.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    if (!proxy.empty() && uriProxyUpper.compare(0, 4, "HTTP") != 0) {
        uriProxy = "http://" + proxy;
    } else {
        uriProxy = proxy;
    }
}

void Connection::SetHeaders(HeaderFields fields) {
    headerFields = std::move(fields);
}

void Connection::AppendHeader(const std::string& key, const std::string& value) {
    headerFields[key] = value;
}

HeaderFields Connection::GetHeaders() {
    return headerFields;
}

std::string Connection::GetUserAgent() {
    if (customUserAgent.empty()) {
        return "restclient";
    }
    return customUserAgent + " restclient";
}

Connection::Info Connection::GetInfo() {
    Info ret;
    ret.baseUrl = baseUrl;
    ret.headers = GetHeaders();
    ret.timeout = timeout;
    ret.followRedirects = followRedirects;
    ret.noSignal = noSignal;
    ret.basicAuth.username = basicAuth.username;
    ret.basicAuth.password = basicAuth.password;
    ret.customUserAgent = customUserAgent;
    ret.lastRequest = lastRequest;
    ret.certPath = certPath;
    ret.certType = certType;
    ret.keyPath = keyPath;
    ret.keyPassword = keyPassword;
    ret.uriProxy = uriProxy;
    return ret;
}

Response Connection::get(const std::string& url) {
    return performCurlRequest(url);
}

Response Connection::post(const std::string& url, const std::string& data) {
    curl_easy_setopt(curlHandle, CURLOPT_POST, 1L);
    // libcurl reads these bytes in place during the transfer; `data` outlives it.
    curl_easy_setopt(curlHandle, CURLOPT_POSTFIELDS, data.c_str());
    curl_easy_setopt(curlHandle, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
    return performCurlRequest(url);
}

Response Connection::put(const std::string& url, const std::string& data) {
    Helpers::UploadObject up_obj;
    up_obj.data = data.c_str();
    up_obj.length = data.size();
    // An upload over HTTP is a PUT with Content-Length taken from INFILESIZE.
    curl_easy_setopt(curlHandle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curlHandle, CURLOPT_READFUNCTION, Helpers::read_callback);
    curl_easy_setopt(curlHandle, CURLOPT_READDATA, &up_obj);
    curl_easy_setopt(curlHandle, CURLOPT_INFILESIZE, static_cast<long>(up_obj.length));
    return performCurlRequest(url);
}

Response Connection::del(const std::string& url) {
    curl_easy_setopt(curlHandle, CURLOPT_CUSTOMREQUEST, "DELETE");
    return performCurlRequest(url);
}

Response Connection::head(const std::string& url) {
    curl_easy_setopt(curlHandle, CURLOPT_CUSTOMREQUEST, "HEAD");
    curl_easy_setopt(curlHandle, CURLOPT_NOBODY, 1L);
    return performCurlRequest(url);
}

Response Connection::performCurlRequest(const std::string& uri) {
    Response ret;
    std::string url = baseUrl + uri;
    curl_slist* headerList = nullptr;

    curl_easy_setopt(curlHandle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curlHandle, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    curl_easy_setopt(curlHandle, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    // Without this libcurl guesses the protocol of a scheme-less URL from the host
    // name ("ftp.", "dict.", ...); our addresses are always HTTP servers.
    curl_easy_setopt(curlHandle, CURLOPT_DEFAULT_PROTOCOL, "http");

    if (bodySink) {
        inFlight = &ret;
        curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, sink_callback);
        curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, Helpers::stream_header_callback);
        // Fewer, larger pieces: each costs a call into the sink and a read from the socket.
        curl_easy_setopt(curlHandle, CURLOPT_BUFFERSIZE, kSinkBuffer);
    } else {
        curl_easy_setopt(curlHandle, CURLOPT_WRITEFUNCTION, Helpers::write_callback);
        curl_easy_setopt(curlHandle, CURLOPT_WRITEDATA, &ret);
        curl_easy_setopt(curlHandle, CURLOPT_HEADERFUNCTION, Helpers::header_callback);
    }
    curl_easy_setopt(curlHandle, CURLOPT_HEADERDATA, &ret);

    for (const auto& field : headerFields) {
        std::string headerString =
            isBlank(field.second) ? field.first + ";" : field.first + ": " + field.second;
        headerList = curl_slist_append(headerList, headerString.c_str());
    }
    curl_easy_setopt(curlHandle, CURLOPT_HTTPHEADER, headerList);

    if (!basicAuth.username.empty()) {
        std::string authString = basicAuth.username + ":" + basicAuth.password;
        curl_easy_setopt(curlHandle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curlHandle, CURLOPT_USERPWD, authString.c_str());
    }

    curl_easy_setopt(curlHandle, CURLOPT_USERAGENT, GetUserAgent().c_str());

#if LIBCURL_VERSION_NUM >= 0x075700
    // A time-out during a slow name lookup returns at once instead of waiting for the
    // resolver's thread, which finishes (and frees its part) on its own.
    curl_easy_setopt(curlHandle, CURLOPT_QUICK_EXIT, 1L);
#endif
    if (timeout != 0) {
        curl_easy_setopt(curlHandle, CURLOPT_TIMEOUT, static_cast<long>(timeout));
        // Signal-based DNS time-outs are unsafe alongside a transfer time-out.
        curl_easy_setopt(curlHandle, CURLOPT_NOSIGNAL, 1L);
    }
    if (connectTimeout > 0) {
        curl_easy_setopt(curlHandle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout));
        curl_easy_setopt(curlHandle, CURLOPT_NOSIGNAL, 1L);
    }
    if (stallTimeout > 0) {
        curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curlHandle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallTimeout));
        // A peer that vanished without a word (power cut) is found by the probes.
        curl_easy_setopt(curlHandle, CURLOPT_TCP_KEEPALIVE, 1L);
        curl_easy_setopt(curlHandle, CURLOPT_TCP_KEEPIDLE, static_cast<long>(stallTimeout));
        curl_easy_setopt(curlHandle, CURLOPT_TCP_KEEPINTVL,
                         static_cast<long>(std::max(1, stallTimeout / 3)));
    }
    watch = Watch();
    if (stallTimeout > 0 || abortCheck) {
        watch.since = nowMs();
        curl_easy_setopt(curlHandle, CURLOPT_XFERINFOFUNCTION, progress_callback);
        curl_easy_setopt(curlHandle, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(curlHandle, CURLOPT_NOPROGRESS, 0L);
    }
    if (followRedirects) {
        curl_easy_setopt(curlHandle, CURLOPT_FOLLOWLOCATION, 1L);
    }
    if (noSignal) {
        curl_easy_setopt(curlHandle, CURLOPT_NOSIGNAL, 1L);
    }
    if (!caInfoFilePath.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_CAINFO, caInfoFilePath.c_str());
    }
    if (!certPath.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_SSLCERT, certPath.c_str());
    }
    if (!certType.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_SSLCERTTYPE, certType.c_str());
    }
    if (!keyPath.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_SSLKEY, keyPath.c_str());
    }
    // With a client key, always: without one, OpenSSL would ask for a key's pass phrase
    // on the terminal.
    if (!keyPassword.empty() || !keyPath.empty() || !certPath.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_KEYPASSWD, keyPassword.c_str());
    }
    if (!uriProxy.empty()) {
        curl_easy_setopt(curlHandle, CURLOPT_PROXY, uriProxy.c_str());
        curl_easy_setopt(curlHandle, CURLOPT_HTTPPROXYTUNNEL, 1L);
    }

    CURLcode res = curl_easy_perform(curlHandle);
    if (res == CURLE_OK) {
        long http_code = 0;
        curl_easy_getinfo(curlHandle, CURLINFO_RESPONSE_CODE, &http_code);
        ret.code = static_cast<int>(http_code);
    } else if (res == CURLE_OPERATION_TIMEDOUT || watch.stalled) {
        ret.code = CURLE_OPERATION_TIMEDOUT;
        ret.body = "Operation Timeout.";
    } else if (watch.aborted) {
        ret.code = -1;
        ret.body = "Transfer aborted.";
    } else if (res == CURLE_SSL_CERTPROBLEM) {
        ret.code = res;
        ret.body = curl_easy_strerror(res);
    } else {
        ret.code = -1;
        ret.body = "Failed to query.";
    }

    curl_easy_getinfo(curlHandle, CURLINFO_TOTAL_TIME, &lastRequest.totalTime);
    curl_easy_getinfo(curlHandle, CURLINFO_NAMELOOKUP_TIME, &lastRequest.nameLookupTime);
    curl_easy_getinfo(curlHandle, CURLINFO_CONNECT_TIME, &lastRequest.connectTime);
    curl_easy_getinfo(curlHandle, CURLINFO_APPCONNECT_TIME, &lastRequest.appConnectTime);
    curl_easy_getinfo(curlHandle, CURLINFO_PRETRANSFER_TIME, &lastRequest.preTransferTime);
    curl_easy_getinfo(curlHandle, CURLINFO_STARTTRANSFER_TIME, &lastRequest.startTransferTime);
    curl_easy_getinfo(curlHandle, CURLINFO_REDIRECT_TIME, &lastRequest.redirectTime);
    long redirectCount = 0;
    curl_easy_getinfo(curlHandle, CURLINFO_REDIRECT_COUNT, &redirectCount);
    lastRequest.redirectCount = static_cast<int>(redirectCount);

    curl_slist_free_all(headerList);
    curl_easy_reset(curlHandle);
    inFlight = nullptr;
    return ret;
}

size_t Connection::sink_callback(void* data, size_t size, size_t nmemb, void* self) {
    Connection* c = static_cast<Connection*>(self);
    long status = 0;
    curl_easy_getinfo(c->curlHandle, CURLINFO_RESPONSE_CODE, &status);
    c->inFlight->code = static_cast<int>(status);
    c->bodySink(*c->inFlight, static_cast<const char*>(data), size * nmemb);
    return size * nmemb;
}

// libcurl's own low-speed check averages over a window of several seconds, so a
// request whose few bytes went out at once could wait that much longer than asked;
// the byte counts give the exact moment the transfer last moved.
int Connection::progress_callback(void* self, curl_off_t, curl_off_t dlnow, curl_off_t,
                                  curl_off_t ulnow) {
    Connection* c = static_cast<Connection*>(self);
    if (c->abortCheck && c->abortCheck()) {
        c->watch.aborted = true;
        return 1;
    }
    if (c->stallTimeout > 0) {
        long long now = nowMs();
        if (dlnow + ulnow != c->watch.bytes) {
            c->watch.bytes = dlnow + ulnow;
            c->watch.since = now;
        } else if (now - c->watch.since >= 1000LL * c->stallTimeout) {
            c->watch.stalled = true;
            return 1;
        }
    }
    return 0;
}

}  // namespace RestClient
