#include "transacoes.h"

#include <simdjson.h>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "restclient/helpers.h"

namespace {

using json = nlohmann::json;

enum Chave { CARD, USER, EVENT, MATRICULA, SALT, HASH, OUTRA };
const char* const nomes[] = {"cardID", "user_id", "event", "matricula", "salt", "n_password_hash"};

bool ehTexto(Chave c) {
    return c == CARD || c == MATRICULA || c == SALT || c == HASH;
}

// Handler of the parser's events. Depth 1 is inside the top array, depth 2 inside
// one row, deeper levels belong to values of keys that are ignored.
class LeitorTransacoes {
  public:
    explicit LeitorTransacoes(List& d) : destino(d) {}

    std::string erro;

    bool null() { return escalar(nullptr, nullptr); }
    bool boolean(bool) { return escalar(nullptr, nullptr); }
    bool number_integer(json::number_integer_t v) {
        int64_t n = v;
        return escalar(nullptr, &n);
    }
    bool number_unsigned(json::number_unsigned_t v) {
        // Anything above INT64_MAX is out of range either way.
        int64_t n = v > static_cast<json::number_unsigned_t>(INT64_MAX) ? INT64_MAX
                                                                        : static_cast<int64_t>(v);
        return escalar(nullptr, &n);
    }
    bool number_float(json::number_float_t, const json::string_t&) {
        return escalar(nullptr, nullptr);
    }
    bool string(json::string_t& s) { return escalar(&s, nullptr); }
    bool binary(json::binary_t&) { return escalar(nullptr, nullptr); }

    bool start_object(std::size_t) {
        if (profundidade == 0) {
            return falha("o corpo n\xE3o \xE9 um array JSON");
        }
        if (profundidade == 1) {
            ++elemento;
            presentes = 0;
            chave = OUTRA;
        } else if (profundidade == 2 && chave != OUTRA) {
            return tipoErrado();
        }
        ++profundidade;
        return true;
    }

    bool end_object() {
        if (--profundidade == 1) {
            return fechaElemento();
        }
        return true;
    }

    bool start_array(std::size_t) {
        if (profundidade == 1) {
            ++elemento;
            return naoObjeto();
        }
        if (profundidade == 2 && chave != OUTRA) {
            return tipoErrado();
        }
        ++profundidade;
        return true;
    }

    bool end_array() {
        --profundidade;
        return true;
    }

    bool key(json::string_t& k) {
        if (profundidade == 2) {
            chave = OUTRA;
            for (int c = CARD; c < OUTRA; ++c) {
                if (k == nomes[c]) {
                    chave = static_cast<Chave>(c);
                }
            }
        }
        return true;
    }

    bool parse_error(std::size_t posicao, const std::string&, const nlohmann::detail::exception&) {
        if (erro.empty()) {
            erro = "o corpo n\xE3o \xE9 JSON v\xE1lido (byte " + std::to_string(posicao) + ")";
        }
        return false;
    }

  private:
    // A scalar value: `texto` is set for a string, `numero` for an integer; both
    // are null for any other type.
    bool escalar(json::string_t* texto, const int64_t* numero) {
        if (profundidade == 0) {
            return falha("o corpo n\xE3o \xE9 um array JSON");
        }
        if (profundidade == 1) {
            ++elemento;
            return naoObjeto();
        }
        if (profundidade > 2 || chave == OUTRA) {
            return true;
        }
        if (ehTexto(chave)) {
            if (texto == nullptr) {
                return tipoErrado();
            }
            campos[chave].swap(*texto);
        } else {
            if (numero == nullptr) {
                return tipoErrado();
            }
            if (*numero < INT_MIN || *numero > INT_MAX) {
                return falha(prefixo() + "\"" + nomes[chave] + "\" fora do intervalo de 32 bits");
            }
            (chave == USER ? user : event) = static_cast<int>(*numero);
        }
        presentes |= 1u << chave;
        return true;
    }

    bool fechaElemento() {
        for (int c = CARD; c < OUTRA; ++c) {
            if ((presentes & (1u << c)) == 0) {
                return falha("elemento " + std::to_string(elemento) + " sem a chave \"" + nomes[c] +
                             "\"");
            }
        }
        auto anterior = creditos.find(user);
        int64_t soma = anterior == creditos.end() ? event : anterior->second + event;
        if (soma < INT_MIN || soma > INT_MAX) {
            return falha(prefixo() +
                         "o cr\xE9"
                         "dito do usu\xE1rio " +
                         std::to_string(user) + " sairia do intervalo de 32 bits");
        }
        creditos[user] = soma;

        Student* s = new Student();
        s->setCardID(campos[CARD]);
        s->setUserId(user);
        s->insertEvent(new Node<int>(new int(event)));
        s->setMatricula(campos[MATRICULA]);
        s->setSalt(campos[SALT]);
        s->setPassword(campos[HASH]);
        destino.append(s);
        return true;
    }

    std::string prefixo() const { return "elemento " + std::to_string(elemento) + ": "; }
    bool naoObjeto() {
        return falha("elemento " + std::to_string(elemento) + " n\xE3o \xE9 um objeto");
    }
    bool tipoErrado() {
        return falha(prefixo() + "\"" + nomes[chave] + "\" n\xE3o \xE9 " +
                     (ehTexto(chave) ? "um texto" : "um inteiro"));
    }
    bool falha(const std::string& motivo) {
        erro = motivo;
        return false;
    }

    List& destino;
    std::size_t profundidade = 0;
    long elemento = 0;
    Chave chave = OUTRA;
    unsigned presentes = 0;
    std::string campos[OUTRA];
    int user = 0;
    int event = 0;
    std::unordered_map<int, int64_t> creditos;
};

// The common roster, read with simdjson's On-Demand API in one pass over the body.
// It takes only what it can prove the stream reader would accept the same way:
// the six keys with plain values, strings without escapes, integers that fit, other
// keys with plain scalar values. Anything else (every refusal included) makes it
// give up, and the stream reader, which has the last word, reads the body again.
class LeitorRapido {
  public:
    LeitorRapido(List& d, size_t pedaco) : destino(d), kPedaco(pedaco) {}

    // True when the whole body was loaded into `destino`. The body is read in place,
    // in pieces of at least kPedaco bytes cut between two rows ("},{"): the byte between
    // them stands in for the closing bracket of one piece and the opening bracket of
    // the next while each is parsed, and is put back. The parser's index of a piece is
    // then all it holds beside the body, whatever the body's size.
    bool carrega(std::string& corpo) {
        if (corpo.capacity() - corpo.size() < simdjson::SIMDJSON_PADDING) {
            std::string copia;
            copia.reserve(corpo.size() + simdjson::SIMDJSON_PADDING);
            copia = corpo;
            return carrega(copia);
        }
        char* base = &corpo[0];
        const size_t fim = corpo.size();
        // The commas standing in for brackets; each is put back, whatever happens.
        struct Virgulas {
            char* abre = nullptr;
            char* fecha = nullptr;
            ~Virgulas() {
                for (char* c : {abre, fecha}) {
                    if (c != nullptr) {
                        *c = ',';
                    }
                }
            }
        } trocadas;
        size_t inicio = 0;
        for (;;) {
            size_t corte = proximoCorte(corpo, inicio + kPedaco);
            if (corte == std::string::npos) {
                if (!lePedaco(base + inicio, fim - inicio, corpo.capacity() - inicio)) {
                    return false;
                }
                enfileiraAdiados();
                return true;
            }
            trocadas.fecha = base + corte;
            base[corte] = ']';
            if (!lePedaco(base + inicio, corte + 1 - inicio, corpo.capacity() - inicio)) {
                return false;
            }
            if (trocadas.abre != nullptr) {
                *trocadas.abre = ',';
            }
            base[corte] = '[';
            trocadas.abre = base + corte;
            trocadas.fecha = nullptr;
            inicio = corte;
        }
    }

  private:
    // The comma of the first "},{" at or after `desde`; npos when there is none (or
    // `desde` is past the end), and the rest is read as one piece.
    static size_t proximoCorte(const std::string& corpo, size_t desde) {
        if (desde >= corpo.size()) {
            return std::string::npos;
        }
        size_t at = corpo.find("},{", desde);
        return at == std::string::npos ? at : at + 1;
    }

    // One piece: `n` bytes at `p`, an array of rows, with `capacidade` bytes readable
    // from `p` (the padding included).
    bool lePedaco(const char* p, size_t n, size_t capacidade) {
        simdjson::ondemand::document doc;
        simdjson::ondemand::array linhas;
        if (parser.iterate(simdjson::padded_string_view(p, n, capacidade)).get(doc) ||
            doc.get_array().get(linhas)) {
            return false;
        }
        for (auto elemento : linhas) {
            simdjson::ondemand::object linha;
            if (elemento.get_object().get(linha) || !leLinha(linha)) {
                return false;
            }
        }
        // Whatever follows the array (such as a second closing bracket) is a fault.
        const char* resto = nullptr;
        return doc.current_location().get(resto) == simdjson::OUT_OF_BOUNDS;
    }

    bool leLinha(simdjson::ondemand::object& linha) {
        unsigned presentes = 0;
        for (auto campo : linha) {
            simdjson::ondemand::raw_json_string chave;
            if (campo.error() || campo.key().get(chave)) {
                return false;
            }
            simdjson::ondemand::value valor = campo.value();
            Chave c = qualChave(chave.raw());
            if (c == OUTRA) {
                if (temEscape(chave.raw()) || !pulaEscalar(valor)) {
                    return false;
                }
                continue;
            }
            if (ehTexto(c) ? !leTexto(valor, textos[c])
                           : !leInteiro(valor, c == USER ? user : event)) {
                return false;
            }
            presentes |= 1u << c;
        }
        if (presentes != (1u << OUTRA) - 1) {
            return false;
        }
        auto visto = ordem.find(user);
        if (visto != ordem.end()) {
            // A later row of a known user: its event waits, in row order, to be queued
            // once the body is read; only the running sum is checked now.
            int64_t& soma = somas[visto->second];
            soma += event;
            if (soma < INT_MIN || soma > INT_MAX) {
                return false;
            }
            adiados.push_back({visto->second, event});
            return true;
        }
        Student* s = new Student();
        s->setCardID(std::string(textos[CARD]));
        s->setUserId(user);
        s->insertEvent(new Node<int>(new int(event)));
        s->setMatricula(std::string(textos[MATRICULA]));
        s->setSalt(std::string(textos[SALT]));
        s->setPassword(std::string(textos[HASH]));
        destino.append(s);
        ordem.emplace(user, static_cast<uint32_t>(alunos.size()));
        alunos.push_back(s);
        somas.push_back(event);
        return true;
    }

    // Queues the events of later rows, student by student: each student's queue is
    // then built in one go, instead of one scattered visit per row.
    void enfileiraAdiados() {
        std::vector<uint32_t> inicio(alunos.size() + 1, 0);
        for (const Adiado& a : adiados) {
            ++inicio[a.aluno + 1];
        }
        for (size_t i = 1; i < inicio.size(); ++i) {
            inicio[i] += inicio[i - 1];
        }
        std::vector<int> eventos(adiados.size());
        std::vector<uint32_t> proximo(inicio.begin(), inicio.end() - 1);
        for (const Adiado& a : adiados) {
            eventos[proximo[a.aluno]++] = a.event;
        }
        std::vector<Adiado>().swap(adiados);
        for (size_t i = 0; i < alunos.size(); ++i) {
            for (uint32_t e = inicio[i]; e < inicio[i + 1]; ++e) {
                alunos[i]->insertEvent(new Node<int>(new int(eventos[e])));
            }
        }
    }

    // `bruto` points just past a key's opening quote; the padding guarantees a quote.
    static Chave qualChave(const char* bruto) {
        for (int c = CARD; c < OUTRA; ++c) {
            size_t n = std::char_traits<char>::length(nomes[c]);
            if (std::memcmp(bruto, nomes[c], n) == 0 && bruto[n] == '"') {
                return static_cast<Chave>(c);
            }
        }
        return OUTRA;
    }

    // Whether the key starting at `bruto` holds an escape before its closing quote
    // (the first quote not preceded by a backslash, so the first quote when none is).
    static bool temEscape(const char* bruto) {
        for (; *bruto != '"'; ++bruto) {
            if (*bruto == '\\') {
                return true;
            }
        }
        return false;
    }

    // A string token without escapes: its bytes are the text, as the stream reader
    // would hand them over. The token may carry the white space before the next comma.
    static bool textoSimples(simdjson::ondemand::value& valor, std::string_view& texto) {
        std::string_view t = valor.raw_json_token();
        while (!t.empty() &&
               (t.back() == ' ' || t.back() == '\t' || t.back() == '\n' || t.back() == '\r')) {
            t.remove_suffix(1);
        }
        if (t.size() < 2 || t.front() != '"' || t.back() != '"' ||
            t.find('\\') != std::string_view::npos) {
            return false;
        }
        simdjson::ondemand::raw_json_string consumido;
        if (valor.get_raw_json_string().get(consumido)) {
            return false;
        }
        texto = t.substr(1, t.size() - 2);
        return true;
    }

    static bool leTexto(simdjson::ondemand::value& valor, std::string_view& texto) {
        return textoSimples(valor, texto);
    }

    static bool leInteiro(simdjson::ondemand::value& valor, int& destinoInt) {
        int64_t n = 0;
        if (valor.get_int64().get(n) || n < INT_MIN || n > INT_MAX) {
            return false;
        }
        destinoInt = static_cast<int>(n);
        return true;
    }

    static bool pulaEscalar(simdjson::ondemand::value& valor) {
        std::string_view t = valor.raw_json_token();
        char primeiro = t.empty() ? '\0' : t.front();
        if (primeiro == '"') {
            std::string_view ignorado;
            return textoSimples(valor, ignorado);
        }
        if (primeiro == 't' || primeiro == 'f') {
            bool b = false;
            return !valor.get_bool().get(b);
        }
        if (primeiro == 'n') {
            bool nulo = false;
            return !valor.is_null().get(nulo) && nulo;
        }
        if (primeiro == '-' || (primeiro >= '0' && primeiro <= '9')) {
            int64_t n = 0;
            return !valor.get_int64().get(n);
        }
        return false;
    }

    List& destino;
    const size_t kPedaco;
    simdjson::ondemand::parser parser;
    std::string_view textos[OUTRA];
    int user = 0;
    int event = 0;
    // The students in the order they were created, with their credit so far, and the
    // events of later rows not queued yet.
    struct Adiado {
        uint32_t aluno;
        int event;
    };
    std::unordered_map<int, uint32_t> ordem;
    std::vector<Student*> alunos;
    std::vector<int64_t> somas;
    std::vector<Adiado> adiados;
};

static_assert(RestClient::Helpers::kFolgaCorpo >= simdjson::SIMDJSON_PADDING,
              "response bodies must be reserved with the padding the roster parser reads");

// Unlinks and frees every student of `l`.
void esvazia(List& l) {
    while (l.getHead() != nullptr) {
        Node<Student>* n = l.removeStudent(l.getHead());
        delete n->getData();
        delete n;
    }
}

}  // namespace

std::string carregaTransacoes(std::string& corpo, List& destino, size_t pedaco) {
    if (destino.getContador() == 0) {
        if (LeitorRapido(destino, pedaco).carrega(corpo)) {
            return "";
        }
        esvazia(destino);
    }
    LeitorTransacoes leitor(destino);
    bool ok = json::sax_parse(corpo, &leitor);
    if (!ok && leitor.erro.empty()) {
        leitor.erro = "o corpo n\xE3o \xE9 JSON v\xE1lido";
    }
    // The stream reader takes a NUL byte for the end of the input, so a body it
    // accepted may go on past one: bytes after the array, like any others there.
    size_t nulo = corpo.find('\0');
    if (ok && nulo != std::string::npos) {
        leitor.erro = "o corpo n\xE3o \xE9 JSON v\xE1lido (byte " + std::to_string(nulo + 1) + ")";
    }
    return leitor.erro;
}
