#include "server_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace rutest {

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

RunningServer::RunningServer(const std::string& dbPath, ru::ServerSettings settings)
    : RunningServer(std::make_unique<ru::SqliteStore>(dbPath), std::move(settings)) {}

RunningServer::RunningServer(std::unique_ptr<ru::Store> store, ru::ServerSettings settings)
    : store_(std::move(store)) {
    settings.host = "127.0.0.1";
    settings.port = 0;
    server_ = std::make_unique<ru::HttpServer>(*store_, std::move(settings));
    port_ = server_->port();
    thread_ = std::thread([this] { server_->run(); });
}

RunningServer::~RunningServer() {
    server_->stop();
    thread_.join();
    server_.reset();
    store_.reset();
}

httplib::Client RunningServer::client() const {
    httplib::Client client("127.0.0.1", port());
    client.set_read_timeout(std::chrono::seconds(60));
    return client;
}

std::string readAll(ru::RosterStream& stream, std::size_t pieceBytes) {
    std::string text;
    while (stream.read(text, pieceBytes)) {
    }
    return text;
}

std::string rosterText(ru::Store& store) {
    return readAll(*store.openRoster(), 4096);
}

void importRows(ru::Store& store, const nlohmann::json& rows) {
    std::istringstream in(rows.dump());
    store.importRoster(in);
}

ru::ImportSummary appendRows(ru::Store& store, const nlohmann::json& rows) {
    std::istringstream in(rows.dump());
    return store.appendRows(in);
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

StartedProgram startProgram(const std::string& binary, const std::vector<std::string>& args) {
    StartedProgram started;
    started.process = std::make_unique<testsupport::ChildProcess>(binary, args);
    if (!started.process->waitForOutput("\n")) {
        ADD_FAILURE() << "no first line; stderr: " << started.process->err();
        return started;
    }
    const std::string& out = started.process->out();
    const std::string first = out.substr(0, out.find('\n'));
    static const std::regex line(R"(ru-server listening on (?:127\.0\.0\.1|\[::1\]):(\d+))");
    std::smatch match;
    if (!std::regex_match(first, match, line)) {
        ADD_FAILURE() << "first line: \"" << first << "\"";
        return started;
    }
    started.port = std::stoi(match[1]);
    return started;
}

}  // namespace rutest
