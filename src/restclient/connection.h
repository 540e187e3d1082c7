#ifndef CATRACA_RESTCLIENT_CONNECTION_H
#define CATRACA_RESTCLIENT_CONNECTION_H

#include <curl/curl.h>

#include <functional>
#include <string>

#include "restclient/restclient.h"

namespace RestClient {

// A configurable HTTP client over one libcurl easy handle, created with the
// Connection and reused (reset, never recreated) for every request it makes, so
// that the TCP connection can be kept alive between them.
//
// Settings take effect at the next request. Each verb makes one synchronous request
// to baseUrl + url (nothing added or removed between them), applies every setting
// afresh and afterwards returns the handle to libcurl's defaults, so nothing of one
// verb leaks into the next. Only http and https are spoken; a URL without a scheme
// is plain HTTP. Transfer failures come back in the Response (see Response), with
// the response headers received so far.
//
// Thread safety: one thread at a time. A Connection is never copied.
class Connection {
  public:
    // Timing of the most recent request, failed ones included, as libcurl reports it.
    struct RequestInfo {
        double totalTime = 0;
        double nameLookupTime = 0;
        double connectTime = 0;
        double appConnectTime = 0;
        double preTransferTime = 0;
        double startTransferTime = 0;
        double redirectTime = 0;
        int redirectCount = 0;
    };

    // Receives a response body piece by piece, as it arrives: `cabeca` is the Response
    // so far (`code` the status of the answer the piece belongs to, `headers` those
    // received), `dados` and `n` the piece.
    typedef std::function<void(const Response& cabeca, const char* dados, size_t n)> BodySink;

    // Snapshot of the settings and of the last request's timing. The certificate
    // authority file is deliberately not part of it.
    struct Info {
        std::string baseUrl;
        HeaderFields headers;
        int timeout = 0;
        bool followRedirects = false;
        bool noSignal = false;
        struct {
            std::string username;
            std::string password;
        } basicAuth;
        std::string certPath;
        std::string certType;
        std::string keyPath;
        std::string keyPassword;
        std::string customUserAgent;
        std::string uriProxy;
        RequestInfo lastRequest;
    };

    // Throws std::runtime_error("Couldn't initialize curl handle") when libcurl
    // cannot create a handle.
    explicit Connection(const std::string& baseUrl);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Credentials for HTTP basic authentication; none are sent while username is empty.
    void SetBasicAuth(const std::string& username, const std::string& password);
    // Whole-transfer limit in seconds; 0 means none. A limit also stops libcurl
    // from using signals.
    void SetTimeout(int seconds);
    // Limit in seconds on making the connection (name lookup and TLS included); 0
    // (the default) leaves libcurl's own. A limit also stops libcurl from using signals.
    void SetConnectTimeout(int seconds);
    // Gives up when the transfer moves no byte in either direction for `seconds`:
    // libcurl's low-speed limit of 1 byte/s over that span, TCP keep-alive probes
    // after that much idleness, and a watch of the byte counts. A transfer whose bytes
    // keep arriving is never cut off, however long it takes. 0 (the default) means no
    // guard. Giving up comes back as code 28, like any time-out.
    void SetStallTimeout(int seconds);
    // Polled at least once a second while a request runs (connecting and waiting
    // included); when it returns true the transfer ends at once, with code -1 and the
    // body "Transfer aborted.". An empty function (the default) is never polled.
    void SetAbortCheck(std::function<bool()> check);
    // Hands every body to `sink` as it arrives instead of keeping it: the Response's
    // body then stays empty (or holds the failure text), and nothing is reserved for
    // an announced length, so a body of any size costs no memory here. An empty
    // function (the default) keeps bodies in the Response.
    void SetBodySink(BodySink sink);
    void SetNoSignal(bool no);
    void FollowRedirects(bool follow);
    // Prefix of the user agent; see GetUserAgent.
    void SetUserAgent(const std::string& userAgent);
    void SetCAInfoFilePath(const std::string& caInfoFilePath);
    void SetCertPath(const std::string& cert);
    // Passed to libcurl unchanged (e.g. "PEM", "DER").
    void SetCertType(const std::string& certType);
    void SetKeyPath(const std::string& keyPath);
    void SetKeyPassword(const std::string& keyPassword);
    // Empty switches the proxy off. A value whose first four letters are not "http"
    // in any case is stored with "http://" in front. Requests go through the proxy
    // as a CONNECT tunnel.
    void SetProxy(const std::string& uriProxy);
    // Replaces all request headers.
    void SetHeaders(HeaderFields headers);
    // Adds a request header or overwrites the value of one with the same name.
    void AppendHeader(const std::string& key, const std::string& value);

    HeaderFields GetHeaders();
    // "restclient", or the custom agent, a blank and "restclient".
    std::string GetUserAgent();
    Info GetInfo();

    Response get(const std::string& url);
    // `data` is sent byte for byte, zero bytes included, with its length announced.
    Response post(const std::string& url, const std::string& data);
    Response put(const std::string& url, const std::string& data);
    Response del(const std::string& url);
    // The Response has an empty body.
    Response head(const std::string& url);

  private:
    Response performCurlRequest(const std::string& uri);
    static int progress_callback(void* self, curl_off_t dltotal, curl_off_t dlnow,
                                 curl_off_t ultotal, curl_off_t ulnow);
    static size_t sink_callback(void* data, size_t size, size_t nmemb, void* self);

    CURL* curlHandle;
    std::string baseUrl;
    HeaderFields headerFields;
    int timeout;
    bool followRedirects;
    bool noSignal;
    struct {
        std::string username;
        std::string password;
    } basicAuth;
    std::string customUserAgent;
    std::string caInfoFilePath;
    RequestInfo lastRequest;
    std::string certPath;
    std::string certType;
    std::string keyPath;
    std::string keyPassword;
    std::string uriProxy;
    int connectTimeout;
    int stallTimeout;
    std::function<bool()> abortCheck;
    BodySink bodySink;
    // The Response of the request in flight, for sink_callback.
    Response* inFlight = nullptr;
    // State of the request in flight, for progress_callback.
    struct Watch {
        curl_off_t bytes = -1;
        long long since = 0;  // ms, steady clock
        bool stalled = false;
        bool aborted = false;
    } watch;
};

}  // namespace RestClient

#endif
