#ifndef CATRACA_PENDENTES_H
#define CATRACA_PENDENTES_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "journal.h"

// The board's credit events that the server has not acknowledged yet, by number:
// for each user, the numbers of its pending events, oldest first, one for each event
// its student counts in contEvent. A number is the event's journal id, or without a
// journal, when events are numbered (idempotency keys), a count of the run's
// admissions from 1; with neither, nothing is kept here and contEvent alone counts.
//
// With a journal, every journal call of the controller goes through here: an event is
// committed before it counts (registra) and leaves the journal once acknowledged
// (confirma). An acknowledged event whose delete failed stays in the journal, set
// aside, until a retry (apagaConfirmados) removes it; it is never pending again and
// never recoverable (recuperaveis), since the server already holds it. So is an event
// taken back at an online entry (retiraUltimo): stored by the server, or never used.
//
// Ownership: the journal is the caller's and must outlive this. One thread.
class Pendentes {
  public:
    // `journal` may be null; `numera` numbers the events of a run without one.
    Pendentes(Journal* journal, bool numera);

    bool comDiario() const { return journal != nullptr; }
    // Counts a new event of `userID` worth `valor` as its newest pending one,
    // committing it to the journal first. False when the journal could not write it:
    // `erro` says why and nothing changed.
    // `perguntado`: the event is asked to the server now (see Journal::grava).
    bool registra(int userID, int valor, std::string* erro, bool perguntado = false);
    // The event asked last was decided by the board alone (Journal::decide); false with
    // `erro` when that could not be written.
    bool decideSozinho(std::string* erro);
    // See Journal::descartaPergunta; nothing without a journal.
    std::optional<int> descartaPergunta(std::string* erro);
    // Counts the journal event `e`, which recuperaveis() handed out, as the newest
    // pending event of its user.
    void adota(const Journal::Evento& e);
    // The number of the oldest pending event of `userID`, the one its next upload
    // sends; 0 when none is numbered.
    int64_t primeiro(int userID) const;
    // The server acknowledged the oldest pending event of `userID`: it stops being
    // pending and leaves the journal. False when it stays in the journal, set aside
    // for apagaConfirmados (its delete failed, or one before it is still set aside):
    // `erro` then says why.
    bool confirma(int userID, std::string* erro);
    // The number of the newest pending event of `userID`, the one registra() has just
    // counted; 0 when none is numbered.
    int64_t ultimo(int userID) const;
    // The newest pending event of `userID` is pending no more: the server stored it when
    // asked at the entry, or it was never used. It leaves the journal as confirma()
    // says, and is set aside the same way when its delete fails (false, `erro` set).
    bool retiraUltimo(int userID, std::string* erro);
    // Retries the deletes of the acknowledged events set aside, oldest first, stopping
    // at the first that fails again; returns how many are still set aside.
    size_t apagaConfirmados();
    // How many acknowledged events are set aside, and why the last delete failed.
    size_t retidos() const { return confirmados.size(); }
    const std::string& ultimoErro() const { return motivo; }
    // The journal's events that this run holds neither as pending nor as set aside,
    // oldest first; empty without a journal.
    std::vector<Journal::Evento> recuperaveis();

  private:
    // Deletes `numero` from the journal, or sets it aside; false (with `erro`) then.
    bool apaga(int64_t numero, std::string* erro);

    Journal* journal;
    bool numera;
    int64_t ultimoNumero = 0;
    std::unordered_map<int, std::deque<int64_t>> porUsuario;
    // Acknowledged, still in the journal: oldest first, with the reason of the failure.
    std::deque<int64_t> confirmados;
    std::string motivo;
};

#endif
