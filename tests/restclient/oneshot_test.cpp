// The one-shot requests of namespace RestClient against a recording loopback server.
#include <gtest/gtest.h>

#include <string>

#include "restclient/restclient.h"
#include "support/recording_server.h"

namespace {

using testsupport::RecordingServer;
using testsupport::Reply;

TEST(OneShot, GetWithoutSchemeReturnsStatusAndBodyOfPlainHttp) {
    RecordingServer server;
    server.enqueue(Reply{200, "[{\"id\":1}]", "application/json"});
    RestClient::Response r = RestClient::get(server.address() + "/transaction");
    EXPECT_EQ(r.code, 200) << r.body;
    EXPECT_EQ(r.body, "[{\"id\":1}]");
    EXPECT_EQ(r.headers["Content-Type"], "application/json");
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "GET");
    EXPECT_EQ(reqs[0].target, "/transaction");
    EXPECT_EQ(reqs[0].header("User-Agent"), "restclient");
    EXPECT_FALSE(reqs[0].hasHeader("Content-Type"));
    EXPECT_EQ(reqs[0].body, "");
}

TEST(OneShot, PostSendsContentTypeAndBodyAndPassesStatusThrough) {
    RecordingServer server;
    server.enqueue(Reply{201, "created", "text/plain"});
    RestClient::Response r =
        RestClient::post(server.address() + "/transaction/7", "application/json", "{\"a\":-1}");
    EXPECT_EQ(r.code, 201) << r.body;
    EXPECT_EQ(r.body, "created");
    auto reqs = server.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].target, "/transaction/7");
    EXPECT_EQ(reqs[0].header("Content-Type"), "application/json");
    EXPECT_EQ(reqs[0].header("User-Agent"), "restclient");
    EXPECT_EQ(reqs[0].body, "{\"a\":-1}");
}

}  // namespace
