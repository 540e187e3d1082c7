// The manual pages as built (the version put in) against the programs: a page and its
// program's --help list the same options, both name the build's version, the page
// renders without a warning from man (as lintian reads it), and catraca-console's page
// has an entry for each key of its configuration and for no other.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "launcher_config.h"
#include "support/process.h"

namespace {

using testsupport::ChildProcess;

struct Page {
    const char* name;
    const char* program;
    const char* file;
};

const Page kPages[] = {
    {"catraca", CATRACA_BIN, MAN_DIR "/catraca.1"},
    {"catraca-console", LAUNCHER_BIN, MAN_DIR "/catraca-console.8"},
#ifdef RU_SERVER_BIN
    {"ru-server", RU_SERVER_BIN, MAN_DIR "/ru-server.8"},
#endif
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Options at the start of a --help line ("  --name ..."); a description that runs on
// is indented further.
std::set<std::string> helpOptions(const std::string& help) {
    static const std::regex option("^  (--[a-z0-9][a-z0-9-]*)");
    std::set<std::string> options;
    std::istringstream in(help);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, m, option)) {
            options.insert(m[1]);
        }
    }
    return options;
}

// The first word of each .TP entry of the page, in roff's "\-" read as "-", with the
// word pattern given: "--..." for options, "CATRACA_..." for configuration keys.
std::set<std::string> pageEntries(const std::string& page, const std::regex& word) {
    static const std::regex head(R"re(^\.(?:B|BI|BR|I|IR)\s+"?(\S+))re");
    std::set<std::string> words;
    std::istringstream in(page);
    bool tagLine = false;
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (tagLine && std::regex_search(line, m, head)) {
            std::string text = std::regex_replace(m[1].str(), std::regex(R"(\\-)"), "-");
            text = text.substr(0, text.find('"'));
            if (std::regex_match(text, word)) {
                words.insert(text);
            }
        }
        tagLine = line.rfind(".TP", 0) == 0;
    }
    return words;
}

// What `a` has that `b` lacks, one word a line.
std::string missing(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::string out;
    for (const std::string& w : a) {
        if (b.count(w) == 0) {
            out += w + "\n";
        }
    }
    return out;
}

TEST(ManualPages, ListTheOptionsThatHelpLists) {
    for (const Page& p : kPages) {
        SCOPED_TRACE(p.name);
        ChildProcess help(p.program, {"--help"});
        ASSERT_EQ(help.wait(), 0) << help.err();
        const std::set<std::string> inHelp = helpOptions(help.out());
        ASSERT_TRUE(inHelp.count("--help") && inHelp.count("--version")) << help.out();
        const std::set<std::string> inPage =
            pageEntries(readFile(p.file), std::regex("--[a-z0-9-]+"));
        EXPECT_EQ(missing(inHelp, inPage), "") << "in --help, not in " << p.file;
        EXPECT_EQ(missing(inPage, inHelp), "") << "in " << p.file << ", not in --help";
    }
}

TEST(ManualPages, ProgramAndPageNameTheBuildsVersion) {
    for (const Page& p : kPages) {
        SCOPED_TRACE(p.name);
        ChildProcess version(p.program, {"--version"});
        EXPECT_EQ(version.wait(), 0);
        EXPECT_EQ(version.out(), std::string(p.name) + " " CATRACA_VERSION "\n");
        const std::string page = readFile(p.file);
        std::smatch th;
        ASSERT_TRUE(std::regex_search(page, th, std::regex("\n\\.TH [^\n]*")));
        EXPECT_NE(th.str().find(" " CATRACA_VERSION "\""), std::string::npos) << th.str();
        EXPECT_EQ(page.find("@CATRACA_VERSION@"), std::string::npos);
    }
}

TEST(ManualPages, RenderWithoutAWarning) {
    for (const Page& p : kPages) {
        SCOPED_TRACE(p.name);
        ChildProcess man("/bin/sh", {"-c",
                                     "LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80 "
                                     "man --warnings -E UTF-8 -l -Tutf8 -Z \"$0\" >/dev/null",
                                     p.file});
        EXPECT_EQ(man.wait(), 0) << "man-db is needed (scripts/deps installs it)";
        EXPECT_EQ(man.err(), "");
    }
}

TEST(ManualPages, ConsolePageHasAnEntryForEachConfigurationKey) {
    std::set<std::string> keys = {"CATRACA_SERVER", "CATRACA_PORT", "CATRACA_OPTIONS"};
    for (const launcher::OptionKey& k : launcher::kOptionKeys) {
        keys.insert(k.key);
    }
    const std::set<std::string> inPage =
        pageEntries(readFile(MAN_DIR "/catraca-console.8"), std::regex("CATRACA_[A-Z_]+"));
    EXPECT_EQ(missing(keys, inPage), "") << "keys the page lacks";
    EXPECT_EQ(missing(inPage, keys), "") << "entries that are no key";
}

}  // namespace
