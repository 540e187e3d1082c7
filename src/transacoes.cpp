#include "transacoes.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <unordered_map>

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

}  // namespace

std::string carregaTransacoes(const std::string& corpo, List& destino) {
    LeitorTransacoes leitor(destino);
    bool ok = json::sax_parse(corpo, &leitor);
    if (!ok && leitor.erro.empty()) {
        leitor.erro = "o corpo n\xE3o \xE9 JSON v\xE1lido";
    }
    return leitor.erro;
}
