#include "recording_server.h"

#include <chrono>
#include <thread>

namespace testsupport {

std::string RecordedRequest::header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
}

bool RecordedRequest::hasHeader(const std::string& name) const {
    return headers.find(name) != headers.end();
}

RecordingServer::RecordingServer() {
    auto h = [this](const httplib::Request& req, httplib::Response& res) { serve(req, res); };
    server_.Get(".*", h);
    server_.Post(".*", h);
    server_.Put(".*", h);
    server_.Delete(".*", h);
    server_.Patch(".*", h);
    server_.Options(".*", h);
    thread_ = std::make_unique<ServerThread>(server_);
}

RecordingServer::~RecordingServer() {
    // Stopped before the script and the records it serves from go.
    thread_.reset();
}

std::string RecordingServer::address() const {
    return "127.0.0.1:" + std::to_string(port());
}

void RecordingServer::setHandler(std::function<Reply(const RecordedRequest&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void RecordingServer::enqueue(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(reply));
}

void RecordingServer::setFallback(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    fallback_ = std::move(reply);
}

std::vector<RecordedRequest> RecordingServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void RecordingServer::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void RecordingServer::serve(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest rec{req.method, req.target, req.path, req.headers, req.body};
    Reply reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(rec);
        if (handler_) {
            reply = handler_(rec);
        } else if (!queue_.empty()) {
            reply = queue_.front();
            queue_.pop_front();
        } else {
            reply = fallback_;
        }
    }
    if (reply.delayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
    }
    res.status = reply.status;
    if (reply.cutShort) {
        // A provider that fails makes the server drop the connection mid-body.
        res.set_content_provider(reply.body.size() + 100, reply.contentType.c_str(),
                                 [](size_t, size_t, httplib::DataSink&) { return false; });
        return;
    }
    res.set_content(reply.body, reply.contentType.c_str());
}

}  // namespace testsupport
