#ifndef CATRACA_JOURNAL_H
#define CATRACA_JOURNAL_H

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The controller's journal of credit events that the server has not acknowledged
// yet: one SQLite file (WAL, synchronous FULL), one row per event, so that an
// event committed here survives a crash, a SIGKILL or a power cut of the board.
//
// Invariants: ids grow with every event written and are never reused, not even
// after a deletion; a table of its own marks the file as a journal, and a file
// without that mark is never written to.
//
// Thread safety: one thread. The file is expected to be used by one program only;
// a writer elsewhere makes writes here fail after a short wait.
class Journal {
  public:
    struct Evento {
        int64_t id;
        int userID;
        int valor;
    };

    // Opens the journal at `caminho`, creating it when the file is absent or empty
    // (or a sound database with no table, which an interrupted creation leaves).
    // Null when it cannot be opened or written, or is not a journal (another
    // database, another kind of file, a damaged one, an events table of another
    // layout); `erro` then says why, on one line, and a file that held anything is
    // left as it was.
    static std::unique_ptr<Journal> abre(const std::string& caminho, std::string* erro);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Commits one event and returns its id (> 0); 0 when it could not be written
    // (full or read-only disk, I/O error, locked), with `erro` set and nothing changed.
    // An event `perguntado` is being asked to the server at an online entry: until
    // decide() it is the question in flight, which a later run drops (descartaPergunta)
    // rather than uploads, since the turnstile never opened for it.
    int64_t grava(int userID, int valor, std::string* erro, bool perguntado = false);
    // The question in flight was decided by the board alone: its event is an ordinary
    // pending one from now on. False when that could not be written, with `erro` set.
    bool decide(std::string* erro);
    // Drops the event of a question that an earlier run left in flight (killed while
    // asking, or before it removed the answered event): the server either stored it
    // already or was never to. Returns its user; nothing when there was none, or when
    // it could not be written (`erro` then set).
    std::optional<int> descartaPergunta(std::string* erro);
    // Removes the event `id`, once the server acknowledged it; false when the
    // removal could not be written (the event then stays), with `erro`, when given,
    // saying why.
    bool apaga(int64_t id, std::string* erro = nullptr);
    // Every event, oldest first; empty as well when the file cannot be read.
    std::vector<Evento> eventos();
    // The board's identity for idempotency keys (see idempotencia.h), drawn and kept
    // here the first time it is asked for; "" when it could not be read or written,
    // with `erro` set.
    std::string placa(std::string* erro);

  private:
    explicit Journal(sqlite3* db);

    sqlite3* db;
};

#endif
