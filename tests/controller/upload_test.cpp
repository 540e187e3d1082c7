// The upload of one student's pending events and the head-count report.
#include <gtest/gtest.h>

#include <atomic>

#include "catraca.h"
#include "student.h"
#include "support/console.h"
#include "turnstile.h"

namespace {

using testsupport::RecordedRequest;
using testsupport::Reply;

// A student loaded with `roster` events whose newest `pending` events await upload.
Student* loaded(int userID, const std::vector<int>& events, unsigned pending) {
    Student* s = new Student();
    s->setUserId(userID);
    s->setCardID("C");
    for (int v : events) {
        s->insertEvent(new Node<int>(new int(v)));
    }
    for (unsigned i = 0; i < pending; ++i) {
        s->incContEvent();
    }
    return s;
}

struct UploadCase {
    const char* name;
    int userID;
    unsigned pending;
    std::vector<int> statuses;        // answers, in order; 201 afterwards
    std::vector<std::string> bodies;  // what must be sent, in order
    unsigned result;
    unsigned pendingAfter;
};

TEST(EventUpload, SendsPendingEventsOldestFirstAndStopsAtFirstRefusal) {
    const std::vector<UploadCase> cases = {
        {"nothing pending", 1, 0, {}, {}, 1, 0},
        {"one accepted", 1, 1, {201}, {"{\"event_id\": -3}"}, 1, 0},
        {"one refused", 1, 1, {500}, {"{\"event_id\": -3}"}, 0, 1},
        {"200 is a refusal", 1, 1, {200}, {"{\"event_id\": -3}"}, 0, 1},
        {"three accepted",
         1,
         3,
         {},
         {"{\"event_id\": -1}", "{\"event_id\": -2}", "{\"event_id\": -3}"},
         1,
         0},
        {"third refused",
         1,
         3,
         {201, 201, 409},
         {"{\"event_id\": -1}", "{\"event_id\": -2}", "{\"event_id\": -3}"},
         0,
         1},
        {"first refused", -7, 3, {404}, {"{\"event_id\": -1}"}, 0, 3},
    };
    for (const UploadCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::RecordingServer server;
        std::atomic<size_t> n{0};
        server.setHandler([&](const RecordedRequest&) {
            size_t i = n++;
            return Reply{i < c.statuses.size() ? c.statuses[i] : 201, "{}"};
        });
        Student* s = loaded(c.userID, {5, -1, -2, -3}, c.pending);
        Node<int>* head = s->getHead();
        Node<int>* tail = s->getTail();
        EXPECT_EQ(s->atualizaEvents("127.0.0.1", server.port()), c.result);
        EXPECT_EQ(s->getContEvent(), c.pendingAfter);
        EXPECT_EQ(s->getCredito(), -1) << "the credit never changes on upload";
        EXPECT_EQ(s->getHead(), head);
        EXPECT_EQ(s->getTail(), tail);
        std::vector<RecordedRequest> sent = server.requests();
        ASSERT_EQ(sent.size(), c.bodies.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].method, "POST");
            EXPECT_EQ(sent[i].target, "/transaction/" + std::to_string(c.userID));
            EXPECT_EQ(sent[i].body, c.bodies[i]);
        }
        delete s;
    }
}

TEST(EventUpload, RetryResumesWithTheRefusedEvent) {
    testsupport::RecordingServer server;
    std::atomic<int> n{0};
    server.setHandler([&](const RecordedRequest&) { return Reply{++n == 2 ? 503 : 201, "{}"}; });
    Student* s = loaded(4, {9, -1, -2, -3}, 3);
    EXPECT_EQ(s->atualizaEvents("127.0.0.1", server.port()), 0u);
    EXPECT_EQ(s->getContEvent(), 2u);
    EXPECT_EQ(s->atualizaEvents("127.0.0.1", server.port()), 1u);
    std::vector<std::string> bodies;
    for (const RecordedRequest& r : server.requests()) {
        bodies.push_back(r.body);
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"{\"event_id\": -1}", "{\"event_id\": -2}",
                                                "{\"event_id\": -2}", "{\"event_id\": -3}"}));
    delete s;
}

TEST(EventUpload, NothingListeningLeavesEverythingPending) {
    int port;
    {
        testsupport::RecordingServer gone;
        port = gone.port();
    }
    Student* s = loaded(1, {5, -1, -1}, 2);
    EXPECT_EQ(s->atualizaEvents("127.0.0.1", port), 0u);
    EXPECT_EQ(s->getContEvent(), 2u);
    delete s;
}

// An update says whether nothing failed in a way that may pass: a refusal for good holds
// up only its student, and the head-count goes out. Without a wait the student is tried
// at each update, and once it is accepted, a later refusal is news again.
TEST(HeadCount, SentUnlessAnUploadFailedInAWayThatMayPass) {
    turnstile::Server server;
    server.rosterBody = turnstile::roster({{"A", 1, 5}});
    std::atomic<int> status{503};
    server.upload = [&](const RecordedRequest&) { return Reply{status, "{}"}; };
    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n1 A\n2 A\n");
    Catraca c;
    c.setEsperaRecusa(std::chrono::milliseconds(0));
    c.start();
    c.run();  // refused at the exit and at the stop: A awaits upload
    EXPECT_EQ(c.atualizaservidor(), 0u);
    status = 404;
    EXPECT_EQ(c.atualizaservidor(), 1u);
    EXPECT_EQ(c.atualizaservidor(), 1u);
    status = 201;
    EXPECT_EQ(c.atualizaservidor(), 1u);
    EXPECT_EQ(server.updates().size(), 2u + 7u) << "U1 U1, then U1, U1 C0 twice, U1 C0";
    status = 404;
    testsupport::ConsoleCapture again("1 A\n2 A\n");
    c.run();
    EXPECT_NE(again.output().find(turnstile::refusedForGood(1, 404)), std::string::npos);
    EXPECT_EQ(console.output().find(turnstile::refusedForGood(1, 404)),
              console.output().rfind(turnstile::refusedForGood(1, 404)));
}

// With nobody awaiting upload, an update sends only the head-count.
TEST(HeadCount, ReportsCountsAsCompactJson) {
    turnstile::Server server;
    testsupport::ConsoleCapture console("127.0.0.1\n" + server.port() + "\n");
    Catraca c;
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    EXPECT_EQ(c.atualizaservidor(), 1u);
    c.upServerStudentCount(-3);
    c.upServerStudentCount(12345);
    server.contadorStatus = 500;
    c.upServerStudentCount(1);
    std::vector<RecordedRequest> sent = server.updates();
    ASSERT_EQ(sent.size(), 4u);
    std::vector<std::string> bodies;
    for (const RecordedRequest& r : sent) {
        EXPECT_EQ(r.target, "/contador");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        bodies.push_back(r.body);
    }
    EXPECT_EQ(bodies,
              (std::vector<std::string>{"{\"v\":0}", "{\"v\":-3}", "{\"v\":12345}", "{\"v\":1}"}));
    EXPECT_EQ(console.output(),
              turnstile::startup("127.0.0.1", server.port()) + turnstile::kCountRefused);
}

}  // namespace
