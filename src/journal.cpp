#include "journal.h"

#include "idempotencia.h"

namespace {

const char* const kFormato = "catraca-journal 1";

// The events table as created; a file whose table reads otherwise (a column renamed
// or retyped by damage) would lose or mix up events, and is not taken as a journal.
const char* const kTabelaEvento =
    "CREATE TABLE evento(id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " user_id INTEGER NOT NULL, valor INTEGER NOT NULL)";

const char* const kTabelaMarca =
    "CREATE TABLE catraca_diario(chave TEXT PRIMARY KEY, valor TEXT NOT NULL)";

// The first column of the first row of `sql`, as text; false on any error.
bool consulta(sqlite3* db, const char* sql, std::string* valor) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return false;
    }
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        *valor = t == nullptr ? "" : reinterpret_cast<const char*>(t);
    } else {
        valor->clear();
    }
    sqlite3_finalize(st);
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

// A reason as one line of plain text: it ends the one line of the refusal, and the
// integrity check's findings span lines and open with a banner, while names read
// from a damaged file may hold any byte.
std::string umaLinha(std::string motivo) {
    const std::string banner = "*** in database main ***\n";
    for (size_t i = 0; (i = motivo.find(banner, i)) != std::string::npos;) {
        motivo.erase(i, banner.size());
    }
    std::string linha;
    // Unsigned: char is unsigned on the board, signed here.
    for (char ch : motivo) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            linha += "; ";
        } else if (c < 0x20 || c == 0x7F) {
            linha += '?';
        } else {
            linha += ch;
        }
    }
    return linha;
}

bool executa(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

Journal::Journal(sqlite3* d) : db(d) {}

Journal::~Journal() {
    sqlite3_close(db);
}

std::unique_ptr<Journal> Journal::abre(const std::string& caminho, std::string* erro) {
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(caminho.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    auto falha = [&](const std::string& motivo) {
        *erro = umaLinha(motivo);
        sqlite3_close(db);
        return nullptr;
    };
    if (rc != SQLITE_OK) {
        return falha(db == nullptr ? sqlite3_errstr(rc) : sqlite3_errmsg(db));
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, 1000);
    if (sqlite3_db_readonly(db, "main") == 1) {
        return falha("o arquivo s\xF3 pode ser lido");
    }
    std::string tabelas;
    if (!consulta(db, "SELECT count(*) FROM sqlite_schema", &tabelas)) {
        bool danificado = (sqlite3_errcode(db) & 0xff) == SQLITE_CORRUPT;
        return falha(std::string(danificado ? "o di\xE1rio est\xE1 danificado ("
                                            : "n\xE3o \xE9 um di\xE1rio de eventos (") +
                     sqlite3_errmsg(db) + ")");
    }
    // Checked before anything is written: a damaged file whose schema merely reads as
    // empty must not be taken for a new one and written over.
    std::string resultado;
    if (!consulta(db, "PRAGMA quick_check", &resultado)) {
        return falha(std::string("o di\xE1rio est\xE1 danificado (") + sqlite3_errmsg(db) + ")");
    }
    if (resultado != "ok") {
        return falha("o di\xE1rio est\xE1 danificado (" + resultado + ")");
    }
    if (tabelas == "0") {
        // Only a file with nothing in it becomes a journal; WAL is set before the
        // tables so that the very first commit is already a WAL one.
        std::string modo;
        if (!consulta(db, "PRAGMA journal_mode=WAL", &modo) || modo != "wal" ||
            !executa(db, "BEGIN IMMEDIATE") ||
            !consulta(db, "SELECT count(*) FROM sqlite_schema", &tabelas) || tabelas != "0" ||
            !executa(db, kTabelaMarca) || !executa(db, kTabelaEvento) ||
            !executa(
                db, (std::string("INSERT INTO catraca_diario VALUES('formato','") + kFormato + "')")
                        .c_str()) ||
            !executa(db, "COMMIT")) {
            return falha(std::string("n\xE3o foi poss\xEDvel cri\xE1-lo (") + sqlite3_errmsg(db) +
                         ")");
        }
    }
    std::string formato;
    if (!consulta(db, "SELECT valor FROM catraca_diario WHERE chave='formato'", &formato) ||
        formato != kFormato ||
        !consulta(db, "SELECT sql FROM sqlite_schema WHERE type='table' AND name='evento'",
                  &resultado) ||
        resultado != kTabelaEvento) {
        return falha("n\xE3o \xE9 um di\xE1rio de eventos");
    }
    std::string modo;
    if (!consulta(db, "PRAGMA journal_mode=WAL", &modo) || modo != "wal" ||
        !executa(db, "PRAGMA synchronous=FULL")) {
        return falha(std::string("n\xE3o foi poss\xEDvel preparar a escrita (") +
                     sqlite3_errmsg(db) + ")");
    }
    return std::unique_ptr<Journal>(new Journal(db));
}

int64_t Journal::grava(int userID, int valor, std::string* erro, bool perguntado) {
    // The event and the mark of the question commit together: one sync, as ever.
    if (perguntado && !executa(db, "BEGIN IMMEDIATE")) {
        *erro = sqlite3_errmsg(db);
        return 0;
    }
    sqlite3_stmt* st = nullptr;
    int rc =
        sqlite3_prepare_v2(db, "INSERT INTO evento(user_id, valor) VALUES(?, ?)", -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int(st, 1, userID);
        sqlite3_bind_int(st, 2, valor);
        rc = sqlite3_step(st);
    }
    sqlite3_finalize(st);
    const int64_t id = sqlite3_last_insert_rowid(db);
    if (rc == SQLITE_DONE && perguntado) {
        const std::string marca =
            "INSERT OR REPLACE INTO catraca_diario VALUES('pergunta','" + std::to_string(id) + "')";
        rc = executa(db, marca.c_str()) && executa(db, "COMMIT") ? SQLITE_DONE : SQLITE_ERROR;
    }
    if (rc != SQLITE_DONE) {
        *erro = sqlite3_errmsg(db);
        if (perguntado) {
            executa(db, "ROLLBACK");
        }
        return 0;
    }
    return id;
}

bool Journal::decide(std::string* erro) {
    if (executa(db, "DELETE FROM catraca_diario WHERE chave='pergunta'")) {
        return true;
    }
    *erro = sqlite3_errmsg(db);
    return false;
}

std::optional<int> Journal::descartaPergunta(std::string* erro) {
    // Read first: a start with no question left writes nothing.
    std::string marca;
    if (!consulta(db, "SELECT valor FROM catraca_diario WHERE chave='pergunta'", &marca) ||
        marca.empty()) {
        return std::nullopt;
    }
    std::string usuario;
    if (!executa(db, "BEGIN IMMEDIATE") ||
        !consulta(db,
                  "SELECT user_id FROM evento WHERE id = "
                  "(SELECT CAST(valor AS INTEGER) FROM catraca_diario WHERE chave='pergunta')",
                  &usuario) ||
        !executa(db,
                 "DELETE FROM evento WHERE id = "
                 "(SELECT CAST(valor AS INTEGER) FROM catraca_diario WHERE chave='pergunta')") ||
        !executa(db, "DELETE FROM catraca_diario WHERE chave='pergunta'") ||
        !executa(db, "COMMIT")) {
        *erro = sqlite3_errmsg(db);
        executa(db, "ROLLBACK");
        return std::nullopt;
    }
    if (usuario.empty()) {
        return std::nullopt;
    }
    return std::stoi(usuario);
}

bool Journal::apaga(int64_t id, std::string* erro) {
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, "DELETE FROM evento WHERE id = ?", -1, &st, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(st, 1, id);
        rc = sqlite3_step(st);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE && erro != nullptr) {
        *erro = sqlite3_errmsg(db);
    }
    return rc == SQLITE_DONE;
}

std::vector<Journal::Evento> Journal::eventos() {
    std::vector<Evento> todos;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, user_id, valor FROM evento ORDER BY id", -1, &st,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            todos.push_back({sqlite3_column_int64(st, 0), sqlite3_column_int(st, 1),
                             sqlite3_column_int(st, 2)});
        }
    }
    sqlite3_finalize(st);
    return todos;
}

std::string Journal::placa(std::string* erro) {
    std::string valor;
    if (consulta(db, "SELECT valor FROM catraca_diario WHERE chave='placa'", &valor) &&
        !valor.empty()) {
        return valor;
    }
    // OR IGNORE: what is kept wins over what was just drawn, so a board has one identity.
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO catraca_diario VALUES('placa', ?)", -1,
                                &st, nullptr);
    if (rc == SQLITE_OK) {
        std::string nova = novaIdentidadePlaca();
        sqlite3_bind_text(st, 1, nova.c_str(), -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(st);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE ||
        !consulta(db, "SELECT valor FROM catraca_diario WHERE chave='placa'", &valor) ||
        valor.empty()) {
        *erro = sqlite3_errmsg(db);
        return "";
    }
    return valor;
}
