// A name lookup slower than the question's bound: the board decides alone within
// --entry-timeout, not when the lookup ends. The test binary's own getaddrinfo stands
// in front of the C library's (libcurl's resolver thread calls it): one lookup of
// one name waits until the test ends.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "catraca.h"
#include "support/console.h"
#include "support/scripted_server.h"
#include "turnstile.h"

namespace {

std::mutex lookupMutex;
std::condition_variable lookupWake;
bool nextLookupSlow = false;  // the next lookup of the name waits until released
bool released = false;

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** res) {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && std::strcmp(node, "slow.test") == 0) {
        std::unique_lock<std::mutex> lock(lookupMutex);
        if (nextLookupSlow) {
            nextLookupSlow = false;
            lookupWake.wait_for(lock, std::chrono::seconds(30), [] { return released; });
        }
        node = "127.0.0.1";
    }
    return real(node, service, hints, res);
}

namespace {

using namespace turnstile;

TEST(Online, ASlowNameLookupCostsOneEntryTimeout) {
    testsupport::ScriptedServer server([](const testsupport::ScriptedRequest& r) {
        return testsupport::Act::answer(r.method == "GET" ? 200 : 201,
                                        r.method == "GET" ? roster({{"A", 1, 5}}) : "{}");
    });
    Servidor::Ajustes ajustes;
    ajustes.timeout = 10;
    testsupport::ConsoleCapture console("slow.test\n" + std::to_string(server.port()) + "\n1 A\n");
    Catraca c(ajustes, nullptr);
    c.setOnline(true);
    c.start();
    ASSERT_EQ(c.getStatus(), 1);
    {
        std::lock_guard<std::mutex> lock(lookupMutex);
        nextLookupSlow = true;
    }
    const auto begin = std::chrono::steady_clock::now();
    c.run();
    const auto took = std::chrono::steady_clock::now() - begin;
    {
        std::lock_guard<std::mutex> lock(lookupMutex);
        released = true;
    }
    lookupWake.notify_all();
    EXPECT_NE(console.output().find(kAlone + admitted(4)), std::string::npos) << console.output();
    // A bound that only tells the question's own wait from the lookup's 30 s.
    EXPECT_LT(took, std::chrono::seconds(20));
}

}  // namespace
