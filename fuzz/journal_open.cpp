// Opening the journal from arbitrary file bytes, as a board finds it after a power cut:
// a refused file gets one clear line of reason and keeps every byte; an accepted one
// (an empty file included) is a working journal whose new ids pass every old one and
// whose events survive a reopening.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "journal.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "journal_open: %s\n", what.c_str());
    std::abort();
}

// A directory of its own in memory (no disk syncs), removed at exit.
const std::string& dir() {
    static const std::string d = [] {
        char modelo[] = "/dev/shm/journal_open.XXXXXX";
        char* feito = mkdtemp(modelo);
        if (feito == nullptr) {
            char outro[] = "/tmp/journal_open.XXXXXX";
            feito = mkdtemp(outro);
            if (feito == nullptr) {
                finding("no temporary directory");
            }
            return std::string(feito);
        }
        return std::string(feito);
    }();
    return d;
}

void removeFiles(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::remove((path + suffix).c_str());
    }
}

void cleanUp() {
    removeFiles(dir() + "/j.db");
    rmdir(dir().c_str());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The reasons the program prints after "Não foi possível abrir o diário de eventos".
bool clearReason(const std::string& e) {
    static const char* const kInicios[] = {
        "o di\xE1rio est\xE1 danificado",      "n\xE3o \xE9 um di\xE1rio de eventos",
        "n\xE3o foi poss\xEDvel cri\xE1-lo (", "n\xE3o foi poss\xEDvel preparar a escrita (",
        "o arquivo s\xF3 pode ser lido",
    };
    if (e.empty() || e.find('\n') != std::string::npos) {
        return false;
    }
    for (const char* inicio : kInicios) {
        if (startsWith(e, inicio)) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = dir() + "/j.db";
    // After dir()'s first call: its string then outlives the clean-up at exit.
    static bool registered = std::atexit(cleanUp) == 0;
    (void)registered;
    removeFiles(path);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) {
            finding("cannot write the input file");
        }
    }

    std::string erro;
    std::unique_ptr<Journal> j = Journal::abre(path, &erro);
    if (!j) {
        if (!clearReason(erro)) {
            finding("refused without a clear reason: \"" + erro + "\"");
        }
        if (readFile(path) != bytes) {
            finding("a refused file was written to");
        }
        if (!readFile(path + "-wal").empty()) {
            finding("a refused file got a write-ahead log with content");
        }
        return 0;
    }
    if (!erro.empty()) {
        finding("accepted with a reason set");
    }
    std::vector<Journal::Evento> antes = j->eventos();
    int64_t maior = 0;
    for (const Journal::Evento& e : antes) {
        maior = e.id > maior ? e.id : maior;
    }
    int64_t id = j->grava(7, -1, &erro);
    if (id == 0) {
        // A file that takes no more rows (say, a maximum page count reached) may refuse a
        // write, but only with a reason and without changing what it holds.
        if (erro.empty() || j->eventos().size() != antes.size()) {
            finding("a failed write without a reason or with a change");
        }
        return 0;
    }
    if (id <= maior) {
        finding("an id was reused: " + std::to_string(id) + " after " + std::to_string(maior));
    }
    j.reset();
    j = Journal::abre(path, &erro);
    if (!j) {
        finding("a journal just written is refused: " + erro);
    }
    std::vector<Journal::Evento> depois = j->eventos();
    if (depois.size() != antes.size() + 1 || depois.back().id != id || depois.back().userID != 7 ||
        depois.back().valor != -1) {
        finding("the written event did not survive a reopening");
    }
    if (!j->apaga(id) || j->eventos().size() != antes.size()) {
        finding("the written event could not be removed");
    }
    return 0;
}
