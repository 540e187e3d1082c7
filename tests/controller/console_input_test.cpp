// Hostile console input through the built program: card tokens over the bound, zero
// and 0xFF bytes, and megabytes without a line end, as a stuck card reader or keyboard
// types them. Nothing crashes, memory stays flat, output stays bounded, and a card
// over 256 bytes is an unknown card.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "console.h"
#include "support/process.h"
#include "turnstile.h"

namespace {

using namespace turnstile;
using testsupport::ChildProcess;

const std::string kPrompt = "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";
const std::string kLongCard(256, 'L');

// AB12 (user 1) with credit 2 and the 256-byte card (user 9) with credit 1.
void useRoster(Server& server) {
    server.rosterBody = roster({{"AB12", 1, 2}, {kLongCard, 9, 1}});
}

struct PipedCase {
    const char* name;
    std::string input;   // after the start-up answers
    std::string passes;  // the console without its screens, after the start-up lines
    std::vector<std::string> uploads;
};

TEST(ConsoleInput, HostileBytesAreReadToTheirEndAndAnsweredAsToday) {
    const std::string mega(3 << 20, 'B');
    const std::vector<PipedCase> cases = {
        {"a card at the bound is kept whole",
         "1 " + kLongCard + "\n",
         kCard + kFound + admitted(0),
         {"/transaction/9"}},
        {"one byte over the bound is no card, not even its first 256 bytes",
         "1 " + kLongCard + "L\n2 " + kLongCard + "L\n",
         kCard + kNotFound + kCard,
         {}},
        {"megabytes of card without a line end", "1 " + mega, kCard + kNotFound, {}},
        {"an overlong card and then a good one on the same line",
         "1 " + mega + " 1 ab12\n",
         kCard + kNotFound + kCard + kFound + admitted(1),
         {"/transaction/1"}},
        {"zero bytes are part of the card",
         std::string("1 AB") + '\0' + "12\n1 " + '\0' + "\n",
         kCard + kNotFound + kCard + kNotFound,
         {}},
        {"0xFF bytes as an answer and as a card",
         "\xFF\xFF\xFF\n1 \xFF\xFF\n1 AB12\n",
         kCard + kNotFound + kCard + kFound + admitted(1),
         {"/transaction/1"}},
        {"megabytes of digits as an answer",
         std::string(3 << 20, '7') + "\n1 AB12\n",
         kCard + kFound + admitted(1),
         {"/transaction/1"}},
        {"megabytes of 0xFF without a line end", std::string(3 << 20, '\xFF'), "", {}},
    };
    for (const PipedCase& c : cases) {
        SCOPED_TRACE(c.name);
        Server server;
        useRoster(server);
        ChildProcess p(CATRACA_BIN, {});
        p.write("127.0.0.1\n" + server.port() + "\n" + c.input);
        p.closeInput();
        // An admission is uploaded at the end of input, since its student is still inside.
        EXPECT_EQ(p.wait(), 0);
        EXPECT_EQ(p.err(), "");
        const std::string head = startup("127.0.0.1", server.port());
        ASSERT_EQ(p.out().compare(0, head.size(), head), 0) << p.out().substr(0, 400);
        EXPECT_EQ(withoutScreens(p.out().substr(head.size())), c.passes);
        std::vector<std::string> uploads;
        for (const testsupport::RecordedRequest& r : server.updates()) {
            uploads.push_back(r.target);
        }
        EXPECT_EQ(uploads, c.uploads);
        EXPECT_LT(p.out().size(), 4096u);
    }
}

// The largest resident size the process has had, in kB.
long peakKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct StuckCase {
    const char* name;
    std::string stuck;  // what the stuck device types, 16 MiB of it
    std::string end;    // what finally ends it
    std::string after;  // the output that shows it was all read
};

TEST(ConsoleInput, StuckReaderNeverGrowsMemory) {
    const size_t n = 16 << 20;
    const std::vector<StuckCase> cases = {
        {"a card", "1 " + std::string(n, 'C'), "\n", kNotFound + std::string(101, '\n')},
        {"an answer of digits", std::string(n, '9'), "\n", kPrompt},
        {"an answer of 0xFF", std::string(n, '\xFF'), "\n", kPrompt},
        {"an exit card of zero bytes", "2 " + std::string(n, '\0'), "\n", kPrompt},
    };
    for (const StuckCase& c : cases) {
        SCOPED_TRACE(c.name);
        Server server;
        useRoster(server);
        ChildProcess p(CATRACA_BIN, {});
        p.write("127.0.0.1\n" + server.port() + "\n");
        ASSERT_TRUE(p.waitForOutput(kPrompt));
        const long before = peakKb(p.pid());
        p.write(c.stuck + c.end);
        ASSERT_TRUE(p.waitForOutput(c.after, c.after == kPrompt ? 2 : 1, 60000));
        const long grown = peakKb(p.pid()) - before;
        // 16 MiB went through; the bound leaves room for the allocator, not for a copy.
        EXPECT_LT(grown, 6 * 1024) << grown << " kB";
        p.closeInput();
        EXPECT_EQ(p.wait(), 0);
    }
}

TEST(ConsoleInput, OverlongAddressIsCutShortAndFailsToConnect) {
    ChildProcess p(CATRACA_BIN, {"--timeout", "2"});
    p.write(std::string(1 << 20, 'x') + "\n8080\n");
    p.closeInput();
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(p.out(), "Digite o ip do servidor\nDigite a porta\nConectando a " +
                           std::string(512, 'x') +
                           ":8080\nerro na inicializacao! codigo do erro :-1\n"
                           "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?\n");
}

// The idle wait of --sync: white space is no card (it is dropped), a card is seen
// without being taken, and the end of the console is seen too.
TEST(ConsoleInput, TheIdleWaitSeesACardButNotWhiteSpace) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    console::Entrada in(fds[0]);
    std::istream console(&in);
    ASSERT_EQ(write(fds[1], " \n\t\r\n", 5), 5);
    EXPECT_FALSE(in.pronta(0));
    EXPECT_FALSE(in.pronta(20));
    ASSERT_EQ(write(fds[1], "\n12 AB\n", 7), 7);
    EXPECT_TRUE(in.pronta(0));
    int number = 0;
    std::string card;
    console >> number >> card;
    EXPECT_EQ(number, 12);
    EXPECT_EQ(card, "AB");
    EXPECT_FALSE(in.pronta(0)) << "only the line end is left";
    close(fds[1]);
    EXPECT_TRUE(in.pronta(0)) << "the end of the console";
    close(fds[0]);
}

}  // namespace
