#ifndef CATRACA_CATRACA_H
#define CATRACA_CATRACA_H

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>

#include "journal.h"
#include "list.h"
#include "pendentes.h"
#include "servidor.h"

// The controller of the two turnstiles. It holds the server address typed at
// start-up and three lists that every student is in exactly one of:
// `lista` (outside, nothing to upload), `listaDentro` (inside) and
// `listaAtualiza` (outside, with events the server has not accepted yet).
//
// `status` is 0 until start() runs, then 1 (roster loaded, all three lists exist)
// or -1 (the load failed, no list exists).
//
// Every request goes through `servidor` (bounded waits, quiet window, stop check).
// `pendentes` numbers every student's pending events and keeps the journal: with
// one, every admission's event is committed to it before the turnstile opens and
// leaves it when the server answers 201.
//
// An upload refusal that retrying cannot mend (a 4xx status other than 408, 421, 423,
// 425 and 429: the user removed on the server, a request it will never take) holds up
// only its own student, whose events stay pending, with one line per student and
// status; the updates leave that student alone for a while (1 minute, doubling up to
// 15), until one of its uploads is accepted or a download brings rows of its user;
// the stop tries it anyway. Any other failure (no connection, a time-out, a 5xx, 408,
// 421, 423, 425, 429) ends the server update, so that a struggling server is not
// hammered.
//
// With a board identity (`placa` not empty), every event upload carries the event's
// idempotency key (idempotencia.h), the same on every retry of the event.
//
// Online (setOnline), an entry whose card is found asks the server first (admissao.h):
// its event is registered (and committed, with a journal) before the question, so it
// has its number and key; the server's answer admits or refuses and gives its credit,
// and without one the board decides alone, as offline, and says so on one line. The
// journal marks the event as asked until the board decides alone; a later start drops
// an event still marked (the run ended while asking, or before it removed the answered
// event), since the turnstile never opened for it: uploading it would charge a meal
// not taken.
//
// With refreshing or syncing on, the controller keeps the roster cursor the server
// offered with its last download (Roster-Cursor), and the next download asks only for
// the rows after it; without either, or without a cursor, it asks for the whole roster.
// A student's first event always holds its server rows as of the last download, the
// pending events are the newest contEvent, and those between are its uploads the server
// acknowledged since (they come back among the rows of the next download).
//
// Ownership: the controller owns the three lists and, through them, the students;
// destroying it frees them all. The journal is the caller's and must outlive it.
class Catraca {
  public:
    // Default waits, no journal.
    Catraca();
    // `journal` may be null (nothing is written to disk). With `atualizaApos` >= 0,
    // a refused entry downloads the roster again when the last download is older
    // than that many seconds (see entrada); -1 never does. A non-empty `placa` turns
    // idempotency keys on, with that board identity. With `sincronia` >= 0, the console
    // loop syncs: see run.
    Catraca(Servidor::Ajustes ajustes, Journal* journal, int atualizaApos = -1,
            std::string placa = "",
            std::chrono::milliseconds sincronia = std::chrono::milliseconds(-1));
    ~Catraca();
    Catraca(const Catraca&) = delete;
    Catraca& operator=(const Catraca&) = delete;

    // Asks for the server's address and port and loads the roster; leaves status
    // at 1 (all three lists exist) or -1 (none does). After a load, the journal's
    // events are given back to their students, who then await upload.
    void start();
    // The turnstile console loop; call only when getStatus() is 1. Returns at the
    // end of standard input or after a stop signal, once every pending event had
    // its last upload attempt.
    //
    // Syncing: a pass begins by downloading what changed on the server when `sincronia`
    // has gone by since the last download and the end of the last sync, and no input
    // is waiting;
    // while the console waits for the turnstile number past that time, the pass ends
    // without a card and the next one syncs. A failed sync writes one line and changes
    // nothing; one cut short by input (a card typed meanwhile) writes nothing and
    // changes nothing, and the card is read at once; so does one cut short by a stop.
    void run();
    // Entries ask the server first (see above); off by default.
    void setOnline(bool o) { online = o; }
    // The first wait of a student refused for good (see above); 1 minute by default.
    void setEsperaRecusa(std::chrono::milliseconds e) { esperaRecusa = e; }
    int getStatus();
    std::string getServerIP();
    int getServerPort();
    // Uploads the pending events of the students awaiting upload, from the head,
    // until one fails in a way that may pass by retrying; moves each fully uploaded
    // student back outside; a student refused for good stays, with one line naming
    // the user and the status, and the walk goes on (and passes it by while its wait
    // lasts). Then, when nothing failed in a
    // way that may pass, reports the head-count. Returns 1 when nothing failed in a
    // way that may pass (refusals for good included), else 0.
    unsigned int atualizaservidor();
    // Reports `contagem` as the head-count; writes a line when it is not accepted.
    void upServerStudentCount(int contagem);
    // Tries to upload every pending event once more, of the students awaiting
    // upload and of those inside, without stopping at a refusal (a refusal for good
    // writes its line, as in an update). The stop that ended the loop no longer
    // interrupts these requests; the first time-out ends the attempt, and so do the
    // stop's limits (Servidor::Ajustes) and one more stop request.
    // Returns how many events are still pending afterwards.
    unsigned int enviaPendentes();
    // Number of events the server has not accepted yet, over all three lists.
    unsigned int contaPendentes();
    // True when nothing is pending and no acknowledged event is left in the journal,
    // where the next start would take it for a new one: the run ends with status 0.
    bool tudoEntregue();

  private:
    // One entry of `cartao`. When it is refused (card not found, too little credit)
    // and `podeAtualizar`, the roster may be downloaded again and the card searched
    // once more, with the same rules and messages. Online, the server is asked only
    // when `podePerguntar`: once per entry.
    void entrada(const std::string& cartao, bool podeAtualizar, bool podePerguntar = true);
    // Counts a new admission event of `s` as pending (committed first, with a journal);
    // false, with the line that says why, when the journal could not write it.
    bool registraEvento(Student* s, bool perguntado = false);
    // The event registraEvento() has just counted is pending no more: the server stored
    // it (`entregue`), or it was never used; a line says so when it stays in the journal.
    void retiraEvento(Student* s, bool entregue);
    // Downloads the roster and brings the students up to date, when refreshing is on
    // and the last download is old enough; true when it did so.
    bool atualizaLista();
    // Downloads what changed (or the whole roster, without a cursor) and brings the
    // students up to date; on a failure writes one line and changes nothing, unless
    // `interrompe` is given and it or a stop cut the download short. True when the
    // students were brought up to date.
    bool recarrega(std::function<bool()> interrompe);
    // True when a sync is due: syncing is on and `sincronia` went by since the last
    // download and the end of the last sync.
    bool sincroniaDevida() const;
    // Gives the journal's events that no student holds yet to their students, oldest
    // first, and counts those whose user is still unknown in `orfaosNoDiario`. At
    // start it says both counts; after a refresh only what it recovered.
    void recuperaDiario(bool naPartida);
    // Drops the event of an online question that an earlier run left undecided, with a
    // line naming its user.
    void descartaPergunta();
    // Uploads the pending events of `s`; true when none is left. A refusal for good
    // writes its line, unless its status was the last one written for that student,
    // and starts its wait; `*passageira` is set when the failure may pass by retrying.
    bool enviaEventos(Student* s, bool* passageira);
    // The transport of one student's uploads, which gives each upload its event's key,
    // forgets each acknowledged event, and leaves the last status in `*codigo`.
    Student::Envio envioDe(Student* s, int* codigo);

    std::string serverIP;
    int serverPort;
    List* lista;
    List* listaDentro;
    List* listaAtualiza;
    int status;
    Servidor servidor;
    Pendentes pendentes;
    unsigned int orfaosNoDiario = 0;
    int atualizaApos;
    std::chrono::steady_clock::time_point ultimaCarga;
    std::string placa;
    bool online = false;
    std::chrono::milliseconds sincronia;
    std::chrono::steady_clock::time_point ultimaSincronia;
    // The cursor of the last download; "" when the server offered none (or it is not
    // used: neither refreshing nor syncing).
    std::string cursor;
    // A student refused for good, by user: the status of its last line, how long its
    // last wait was (0: a wait begins anew), when that wait ends, and the sum of its
    // server rows then, which a whole roster that brings it news changes.
    struct Recusa {
        int codigo = 0;
        std::chrono::milliseconds espera{0};
        std::chrono::steady_clock::time_point ate;
        int soma = 0;
    };
    std::unordered_map<int, Recusa> recusas;
    // A student some of whose pending events may already be stored on the server (an
    // upload failed after it may have been sent, an online question went unanswered, an
    // event came back from the journal): how many of its oldest pending events must
    // still be acknowledged, and whether a download brought rows of its user meanwhile.
    // Those rows may hold such an event, which, once acknowledged, only a whole roster
    // takes out of its queue: a delta never brings that row again.
    struct Incerto {
        unsigned int faltam = 0;
        bool viuLinhas = false;
    };
    std::unordered_map<int, Incerto> incertos;
    // The next download must be a whole roster (see Incerto); its cursor is kept.
    bool reconcilia = false;
    // The pending events of `s` up to the `posicao`th from the oldest may be on the
    // server already; `viuLinhas` when the last download may hold them.
    void marcaIncerto(Student* s, unsigned int posicao, bool viuLinhas);
    std::chrono::milliseconds esperaRecusa{60000};
};

#endif
