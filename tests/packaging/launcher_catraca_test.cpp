// catraca-console in front of the real catraca, against the real ru-server on
// loopback: catraca gets its answers from the configuration file, the console's cards
// reach it, and whatever status it ends with is the launcher's.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "server_fixture.h"
#include "support/loopback.h"
#include "support/process.h"

namespace {

using testsupport::ChildProcess;

struct CatracaRun {
    std::string name;
    bool serverUp;              // false: nothing listens on the configured port
    bool killServerAfterEntry;  // SIGKILL once the entry is admitted
    std::string console;        // typed on the console, before its input ends
    int status;
    std::string text;  // a line catraca writes
};

TEST(LauncherWithCatraca, CatracasStatusComesBackWhateverTheServerDoes) {
    const std::vector<CatracaRun> cases = {
        {"an entry and an exit, all delivered", true, false, "1 8F3A21C0\n2 8F3A21C0\n", 0,
         "AUTORIZADO... novo credito (na placa): 9\n"},
        {"an event that could not be delivered", true, true, "1 8F3A21C0\n", 1,
         "N\xE3o foi poss\xEDvel enviar 1"},
        {"no server at start", false, false, "", 0,
         "N\xE3o foi poss\xEDvel conectar com o servidor. Servidor Rodando?\n"},
    };
    for (const CatracaRun& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        rutest::StartedProgram server = rutest::startProgram(
            RU_SERVER_BIN, {"--db", dir.file("ru.db"), "--import", SAMPLE_ROSTER, "--port", "0"});
        ASSERT_GT(server.port, 0);
        if (!c.serverUp) {
            server.process->signal(SIGKILL);
            server.process->wait();
        }
        std::ofstream(dir.file("catraca"))
            << "CATRACA_SERVER=127.0.0.1\nCATRACA_PORT=" << server.port << "\n";

        std::vector<std::string> args = {"--config", dir.file("catraca"), "--"};
        if (std::string(EMULATOR).size() > 0) {
            args.push_back(EMULATOR);
        }
        args.push_back(CATRACA_BIN);
        ChildProcess launcher(LAUNCHER_BIN, args);
        launcher.write(c.console);
        if (c.killServerAfterEntry) {
            ASSERT_TRUE(launcher.waitForOutput("AUTORIZADO")) << launcher.out();
            server.process->signal(SIGKILL);
            server.process->wait();
        }
        launcher.closeInput();
        EXPECT_EQ(launcher.wait(), c.status) << launcher.err();
        EXPECT_EQ(launcher.out().rfind("Digite o ip do servidor\nDigite a porta\n", 0), 0u);
        EXPECT_NE(launcher.out().find(c.text), std::string::npos) << launcher.out();
        EXPECT_EQ(launcher.out().find("catraca-console"), std::string::npos);
    }
}

}  // namespace
