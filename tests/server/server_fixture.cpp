#include "server_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "routes.h"

namespace rutest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ru-server-test-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

nlohmann::json row(const std::string& cardID, long long userId, long long event,
                   const std::string& matricula, const std::string& salt, const std::string& hash) {
    return {{"cardID", cardID},       {"user_id", userId}, {"event", event},
            {"matricula", matricula}, {"salt", salt},      {"n_password_hash", hash}};
}

RunningServer::RunningServer(const std::string& dbPath)
    : store_(std::make_unique<ru::Store>(dbPath)) {
    ru::installRoutes(server_, *store_);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("could not bind 127.0.0.1");
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RunningServer::~RunningServer() {
    server_.stop();
    thread_.join();
}

httplib::Client RunningServer::client() const {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(std::chrono::seconds(60));
    return client;
}

std::string observableState(httplib::Client& client) {
    auto roster = client.Get("/transaction");
    auto count = client.Get("/contador");
    if (!roster || !count) {
        return "<no answer>";
    }
    return roster->body + "\n" + count->body + "\n" + count->get_header_value("Last-Modified");
}

nlohmann::json fetchRoster(httplib::Client& client) {
    auto res = client.Get("/transaction");
    if (!res) {
        ADD_FAILURE() << "GET /transaction: " << httplib::to_string(res.error());
        return nullptr;
    }
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    const auto roster = nlohmann::json::parse(res->body, nullptr, false);
    EXPECT_TRUE(roster.is_array()) << res->body.substr(0, 200);
    return roster.is_array() ? roster : nullptr;
}

long long creditOf(const nlohmann::json& roster, long long userId) {
    long long credit = 0;
    for (const auto& element : roster) {
        if (element.at("user_id").get<long long>() == userId) {
            credit += element.at("event").get<long long>();
        }
    }
    return credit;
}

}  // namespace rutest
