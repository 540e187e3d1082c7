#ifndef CATRACA_TRANSACOES_H
#define CATRACA_TRANSACOES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "list.h"

// Reads a roster body as its bytes arrive, in pieces cut anywhere, and folds every row
// into its user as it is read: what is kept is one entry per user (the fields of its
// first row and the sum of its events), never the body nor a row, so memory grows
// with the users, not with the history.
//
// What a roster is (the one statement of the rules):
// - the body is one JSON text (RFC 8259: UTF-8, an optional byte order mark, white
//   space around tokens) and that text is an array;
// - every element is an object with the keys "cardID", "matricula", "salt",
//   "n_password_hash" (strings) and "user_id", "event" (integers in the signed 32-bit
//   range; a number with a fraction or an exponent is not an integer). Other keys are
//   ignored whatever their value; of a key given twice the last counts;
// - the running sum of each user's events, in row order and from its base, stays in
//   the signed 32-bit range.
// The body is refused at its first fault in byte order, with one ISO-8859-1 phrase
// naming the element (or, for a body that is not JSON, the byte). Where the fault
// shows is the same however the body is cut into pieces.
//
// Memory: the users, the texts of the row being read, and one bit per level of
// nesting deeper than a row's values. Thread safety: one thread.
class LeitorTransacoes {
  public:
    // One user of the body: the texts of its first row, and its base plus the sum of
    // the events of all its rows.
    struct Usuario {
        int user = 0;
        std::string cardID;
        std::string matricula;
        std::string salt;
        std::string hash;
        int soma = 0;
    };

    // `base`, when given, holds the sum each user's rows continue from (the rows after
    // a cursor continue what the board holds); other users start from 0. It must
    // outlive the reader.
    explicit LeitorTransacoes(const std::unordered_map<int, int>* base = nullptr);
    LeitorTransacoes(const LeitorTransacoes&) = delete;
    LeitorTransacoes& operator=(const LeitorTransacoes&) = delete;

    // The next `n` bytes of the body. Bytes after a refusal are ignored.
    void le(const char* dados, size_t n);
    // The end of the body: "" when it was a roster, else why it was refused. Call once.
    const std::string& termina();
    // After termina() returned "": the users in the order of their first rows.
    std::vector<Usuario>& usuarios() { return lidos; }
    // Appends aluno(u) of every user to `destino`, in order; the users are handed
    // over (usuarios() is then empty).
    void entrega(List& destino);
    // A new Student of `u` (its texts are taken): one event, holding its sum. The
    // caller owns it.
    static Student* aluno(Usuario& u);

  private:
    enum Estado : uint8_t {
        INICIO,
        BOM1,
        BOM2,
        VALOR,
        DEPOIS,
        CHAVE,
        DOIS_PONTOS,
        TEXTO,
        ESCAPE,
        HEX,
        BARRA_BAIXA,
        U_BAIXA,
        UTF8,
        NUMERO,
        LITERAL,
        FIM,
        RECUSADO
    };
    enum Tipo : uint8_t { TEXTO_JSON, INTEIRO, OUTRO };

    // Each returns the first byte it did not take.
    const char* leTexto(const char* p, const char* fim);
    const char* leNumero(const char* p, const char* fim);
    const char* comecaValor(const char* p, const char* fim);
    void abre(bool objeto);
    void fecha(bool objeto, const char* p);
    void terminaTexto();
    // `byte`: the position of the first byte after the number (one past the end at the
    // end of the body).
    void terminaNumero(size_t byte);
    // A scalar value has ended, or (OUTRO) a container opened where a value of one of
    // the six keys goes.
    void escalar(Tipo tipo, int64_t numero);
    void fechaLinha();
    void guarda(const char* s, size_t n);
    void guardaCodigo(uint32_t codigo);
    bool topoObjeto() const { return prof == 2 || (prof > 2 && pilha.back()); }
    size_t posicao(const char* p) const { return consumidos + static_cast<size_t>(p - pedaco) + 1; }
    void sintaxe(size_t byte);
    void recusa(const std::string& motivo);
    std::string prefixo() const;

    // The grammar.
    Estado estado = INICIO;
    bool vazio = false;       // a container was just opened: it may close at once
    size_t prof = 0;          // 1 inside the array, 2 inside a row
    std::vector<bool> pilha;  // deeper containers: true for an object
    size_t consumidos = 0;    // bytes of the earlier pieces
    const char* pedaco = nullptr;
    std::string erro;

    // The string being read: where its text goes (null: only checked).
    enum Contexto : uint8_t { CHAVE_LINHA, CHAVE_OUTRA, VALOR_CAMPO, VALOR_OUTRO };
    Contexto contexto = VALOR_OUTRO;
    std::string* destino = nullptr;
    uint8_t faltam = 0;  // hex digits of an escape, or continuation bytes of a character
    uint8_t minimo = 0, maximo = 0;
    uint32_t codigo = 0;
    uint32_t alta = 0;  // a high surrogate waiting for its low half

    // The number being read: enough to tell an integer of 64 bits from any other
    // number, and whether that other number fits a double.
    struct Numero {
        uint8_t fase;
        bool negativo;
        bool inteiro;        // no fraction, no exponent
        bool grande;         // the integer part went past 64 bits
        bool significativo;  // a digit other than 0 came
        bool expNegativo;
        bool resto;               // a digit other than 0 came after the kept ones
        uint64_t valor;           // the integer part, while it fits
        int64_t digitosInteiros;  // significant digits of the integer part
        int64_t zerosFracao;      // zeros after the point, before the first significant digit
        int64_t expoente;         // capped far beyond any double
        std::string digitos;      // the first significant digits
    } num{};

    // The literal being read: its bytes still to come.
    const char* literal = nullptr;

    // The rows.
    long elemento = 0;
    int chave = 6;  // the key (0 to 5) whose value comes next in the row; 6: another
    unsigned presentes = 0;
    std::string campos[4];
    std::string chaveLida;
    int user = 0;
    int event = 0;
    const std::unordered_map<int, int>* base;
    std::unordered_map<int, uint32_t> indice;
    std::vector<Usuario> lidos;
};

// `corpo` read whole into `destino` (see LeitorTransacoes::entrega): "" when it is a
// roster, else why it was refused, and `destino` is left as it was.
std::string carregaTransacoes(const std::string& corpo, List& destino);

#endif
