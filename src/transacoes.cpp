#include "transacoes.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "console.h"

namespace {

enum Chave { CARD, USER, EVENT, MATRICULA, SALT, HASH, OUTRA };
const char* const nomes[] = {"cardID", "user_id", "event", "matricula", "salt", "n_password_hash"};
// The longest of the names: a longer key is none of them.
constexpr size_t kMaiorChave = 15;

enum FaseNumero : uint8_t { N_MENOS, N_ZERO, N_INT, N_PONTO, N_FRAC, N_E, N_ESINAL, N_EXP };

// The bytes kept of a text field: one more than the longest card the console reads
// (console::kMaiorCartao), and than any matricula, salt or hash, so that a longer text is
// kept as a prefix that matches nothing, not whole: a body with one huge field is
// accepted as ever, in the memory of an ordinary one.
constexpr size_t kMaiorCampo[4] = {console::kMaiorCartao + 1, 1025, 1025, 1025};

// Significant digits kept of a number: enough to round any decimal to the nearest
// double, with one more standing for all the digits dropped.
constexpr size_t kDigitosGuardados = 800;

// The six names differ in length: one comparison tells a key.
int qualChave(const char* k, size_t n) {
    static const int porTamanho[kMaiorChave + 1] = {OUTRA, OUTRA, OUTRA, OUTRA,     SALT,  EVENT,
                                                    CARD,  USER,  OUTRA, MATRICULA, OUTRA, OUTRA,
                                                    OUTRA, OUTRA, OUTRA, HASH};
    if (n > kMaiorChave) {
        return OUTRA;
    }
    int c = porTamanho[n];
    if (c == OUTRA) {
        return OUTRA;
    }
    // Two overlapping words cover each name (4 to 15 bytes) whole.
    const size_t w = n > 8 ? 8 : 4;
    uint64_t a = 0, b = 0, x = 0, y = 0;
    std::memcpy(&a, k, w);
    std::memcpy(&b, nomes[c], w);
    std::memcpy(&x, k + n - w, w);
    std::memcpy(&y, nomes[c] + n - w, w);
    return a == b && x == y ? c : OUTRA;
}

bool ehTexto(int c) {
    return c == CARD || c >= MATRICULA;
}

// The slot of a text key in LeitorTransacoes::campos.
int campoDe(int c) {
    return c == CARD ? 0 : c - 2;
}

bool branco(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

int hex(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The first byte at or after `p` that a string cannot take as it is: a quote, a
// backslash, a control byte or a byte of 0x80 and above. Eight bytes at a time: the
// texts are most of a roster's bytes.
const char* fimSimples(const char* p, const char* fim) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    constexpr uint64_t k01 = 0x0101010101010101ULL;
    constexpr uint64_t k80 = 0x8080808080808080ULL;
    while (fim - p >= 8) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        uint64_t aspas = x ^ (k01 * '"');
        uint64_t barra = x ^ (k01 * '\\');
        // A flag in the high bit of each byte that is a quote, a backslash, below 0x20
        // or above 0x7F; only the lowest flag is exact, and only it is used.
        uint64_t m =
            (((aspas - k01) & ~aspas) | ((barra - k01) & ~barra) | ((x - k01 * 0x20) & ~x) | x) &
            k80;
        if (m != 0) {
            return p + (__builtin_ctzll(m) >> 3);
        }
        p += 8;
    }
#endif
    while (p < fim) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) {
            break;
        }
        ++p;
    }
    return p;
}

}  // namespace

LeitorTransacoes::LeitorTransacoes(const std::unordered_map<int, int>* b) : base(b) {}

void LeitorTransacoes::le(const char* dados, size_t n) {
    pedaco = dados;
    const char* p = dados;
    const char* fim = dados + n;
    while (p < fim && estado != RECUSADO) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (estado) {
            case INICIO:
                if (c == 0xEF) {
                    estado = BOM1;
                    ++p;
                } else {
                    estado = VALOR;
                }
                break;
            case BOM1:
            case BOM2:
                if (c != (estado == BOM1 ? 0xBB : 0xBF)) {
                    sintaxe(posicao(p));
                    break;
                }
                estado = estado == BOM1 ? BOM2 : VALOR;
                ++p;
                break;
            case VALOR:
                if (branco(c)) {
                    ++p;
                } else {
                    p = comecaValor(p, fim);
                }
                break;
            case DEPOIS:
                if (branco(c)) {
                    ++p;
                } else if (c == ',') {
                    vazio = false;
                    estado = topoObjeto() ? CHAVE : VALOR;
                    ++p;
                } else if (c == '}' || c == ']') {
                    fecha(c == '}', p);
                    ++p;
                } else {
                    sintaxe(posicao(p));
                }
                break;
            case CHAVE:
                if (branco(c)) {
                    ++p;
                } else if (c == '"') {
                    ++p;
                    const char* q = fimSimples(p, fim);
                    if (q < fim && *q == '"') {
                        // The whole key in this piece, without escapes.
                        if (prof == 2) {
                            chave = qualChave(p, static_cast<size_t>(q - p));
                        }
                        p = q + 1;
                        estado = DOIS_PONTOS;
                        break;
                    }
                    contexto = prof == 2 ? CHAVE_LINHA : CHAVE_OUTRA;
                    destino = prof == 2 ? &chaveLida : nullptr;
                    chaveLida.clear();
                    estado = TEXTO;
                } else if (c == '}' && vazio) {
                    fecha(true, p);
                    ++p;
                } else {
                    sintaxe(posicao(p));
                }
                break;
            case DOIS_PONTOS:
                if (branco(c)) {
                    ++p;
                } else if (c == ':') {
                    vazio = false;
                    estado = VALOR;
                    ++p;
                } else {
                    sintaxe(posicao(p));
                }
                break;
            case TEXTO:
            case ESCAPE:
            case HEX:
            case BARRA_BAIXA:
            case U_BAIXA:
            case UTF8:
                p = leTexto(p, fim);
                break;
            case NUMERO:
                p = leNumero(p, fim);
                break;
            case LITERAL:
                if (c != static_cast<unsigned char>(*literal)) {
                    sintaxe(posicao(p));
                    break;
                }
                ++p;
                if (*++literal == '\0') {
                    estado = DEPOIS;
                    escalar(OUTRO, 0);
                }
                break;
            case FIM:
                if (!branco(c)) {
                    sintaxe(posicao(p));
                    break;
                }
                ++p;
                break;
            case RECUSADO:
                break;
        }
    }
    consumidos += n;
}

const std::string& LeitorTransacoes::termina() {
    const size_t fimByte = consumidos + 1;
    if (estado == NUMERO &&
        (num.fase == N_ZERO || num.fase == N_INT || num.fase == N_FRAC || num.fase == N_EXP)) {
        terminaNumero(fimByte);
    }
    if (estado != FIM && estado != RECUSADO) {
        sintaxe(fimByte);
    }
    if (!erro.empty()) {
        lidos.clear();
        indice.clear();
    }
    return erro;
}

Student* LeitorTransacoes::aluno(Usuario& u) {
    Student* s = new Student();
    s->setCardID(std::move(u.cardID));
    s->setUserId(u.user);
    s->insertEvent(new Node<int>(new int(u.soma)));
    s->setMatricula(std::move(u.matricula));
    s->setSalt(std::move(u.salt));
    s->setPassword(std::move(u.hash));
    return s;
}

void LeitorTransacoes::entrega(List& d) {
    // Freed before the students are built, not after: the texts move into them.
    std::unordered_map<int, uint32_t>().swap(indice);
    for (Usuario& u : lidos) {
        d.append(aluno(u));
    }
    std::vector<Usuario>().swap(lidos);
}

const char* LeitorTransacoes::comecaValor(const char* p, const char* fim) {
    unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
        case '{':
        case '[':
            abre(c == '{');
            return p + 1;
        case ']':
            if (vazio) {
                fecha(false, p);
                return p + 1;
            }
            break;
        case '"': {
            // The whole text in this piece, without escapes: taken at once.
            const char* q = fimSimples(p + 1, fim);
            if (q < fim && *q == '"') {
                if (prof == 2 && chave != OUTRA && ehTexto(chave)) {
                    int i = campoDe(chave);
                    campos[i].assign(p + 1,
                                     std::min(static_cast<size_t>(q - p - 1), kMaiorCampo[i]));
                }
                estado = DEPOIS;
                escalar(TEXTO_JSON, 0);
                return q + 1;
            }
            if (prof == 2 && chave != OUTRA && ehTexto(chave)) {
                contexto = VALOR_CAMPO;
                destino = &campos[campoDe(chave)];
                destino->clear();
            } else {
                contexto = VALOR_OUTRO;
                destino = nullptr;
            }
            estado = TEXTO;
            return p + 1;
        }
        case 't':
            literal = "rue";
            estado = LITERAL;
            return p + 1;
        case 'f':
            literal = "alse";
            estado = LITERAL;
            return p + 1;
        case 'n':
            literal = "ull";
            estado = LITERAL;
            return p + 1;
        default:
            if (c == '-' || (c >= '0' && c <= '9')) {
                // An integer of up to 18 digits that ends in this piece: read at once.
                const char* d = p + (c == '-');
                const char* q = d;
                int64_t n = 0;
                while (q < fim && q - d < 18 && *q >= '0' && *q <= '9') {
                    n = n * 10 + (*q++ - '0');
                }
                if (q < fim && q > d && (*d != '0' || q - d == 1) && *q != '.' && *q != 'e' &&
                    *q != 'E' && (*q < '0' || *q > '9')) {
                    estado = DEPOIS;
                    escalar(INTEIRO, c == '-' ? -n : n);
                    return q;
                }
                num.fase = c == '-' ? N_MENOS : c == '0' ? N_ZERO : N_INT;
                num.negativo = c == '-';
                num.inteiro = true;
                num.grande = false;
                num.significativo = c > '0';
                num.expNegativo = false;
                num.resto = false;
                num.valor = c > '0' ? static_cast<uint64_t>(c - '0') : 0;
                num.digitosInteiros = c > '0' ? 1 : 0;
                num.zerosFracao = 0;
                num.expoente = 0;
                num.digitos.clear();
                if (c > '0') {
                    num.digitos.push_back(static_cast<char>(c));
                }
                estado = NUMERO;
                return p + 1;
            }
            break;
    }
    sintaxe(posicao(p));
    return p + 1;
}

void LeitorTransacoes::abre(bool objeto) {
    if (prof == 0) {
        if (objeto) {
            return recusa("o corpo n\xE3o \xE9 um array JSON");
        }
        prof = 1;
        vazio = true;
        estado = VALOR;
        return;
    }
    if (prof == 1) {
        ++elemento;
        if (!objeto) {
            return recusa("elemento " + std::to_string(elemento) + " n\xE3o \xE9 um objeto");
        }
        presentes = 0;
        chave = OUTRA;
        prof = 2;
        vazio = true;
        estado = CHAVE;
        return;
    }
    if (prof == 2 && chave != OUTRA) {
        return escalar(OUTRO, 0);
    }
    pilha.push_back(objeto);
    ++prof;
    vazio = true;
    estado = objeto ? CHAVE : VALOR;
}

void LeitorTransacoes::fecha(bool objeto, const char* p) {
    if (objeto != topoObjeto()) {
        return sintaxe(posicao(p));
    }
    if (prof > 2) {
        pilha.pop_back();
    }
    --prof;
    estado = prof == 0 ? FIM : DEPOIS;
    if (prof == 1) {
        fechaLinha();
    }
}

const char* LeitorTransacoes::leTexto(const char* p, const char* fim) {
    while (p < fim) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (estado) {
            case TEXTO: {
                const char* q = fimSimples(p, fim);
                if (q != p) {
                    guarda(p, static_cast<size_t>(q - p));
                    p = q;
                    if (p == fim) {
                        return p;
                    }
                    c = static_cast<unsigned char>(*p);
                }
                ++p;
                if (c == '"') {
                    terminaTexto();
                    return p;
                }
                if (c == '\\') {
                    estado = ESCAPE;
                    continue;
                }
                // A character of two to four bytes: its lead tells how many follow and
                // the range of the first of them (RFC 3629: no overlong form, no
                // surrogate, nothing above U+10FFFF).
                minimo = 0x80;
                maximo = 0xBF;
                if (c >= 0xC2 && c <= 0xDF) {
                    faltam = 1;
                } else if (c >= 0xE0 && c <= 0xEF) {
                    faltam = 2;
                    minimo = c == 0xE0 ? 0xA0 : 0x80;
                    maximo = c == 0xED ? 0x9F : 0xBF;
                } else if (c >= 0xF0 && c <= 0xF4) {
                    faltam = 3;
                    minimo = c == 0xF0 ? 0x90 : 0x80;
                    maximo = c == 0xF4 ? 0x8F : 0xBF;
                } else {
                    sintaxe(posicao(p - 1));
                    return p;
                }
                guarda(p - 1, 1);
                estado = UTF8;
                continue;
            }
            case UTF8:
                if (c < minimo || c > maximo) {
                    sintaxe(posicao(p));
                    return p;
                }
                guarda(p, 1);
                ++p;
                minimo = 0x80;
                maximo = 0xBF;
                if (--faltam == 0) {
                    estado = TEXTO;
                }
                continue;
            case ESCAPE: {
                char e = 0;
                switch (c) {
                    case '"':
                    case '\\':
                    case '/':
                        e = static_cast<char>(c);
                        break;
                    case 'b':
                        e = '\b';
                        break;
                    case 'f':
                        e = '\f';
                        break;
                    case 'n':
                        e = '\n';
                        break;
                    case 'r':
                        e = '\r';
                        break;
                    case 't':
                        e = '\t';
                        break;
                    case 'u':
                        faltam = 4;
                        codigo = 0;
                        estado = HEX;
                        ++p;
                        continue;
                    default:
                        sintaxe(posicao(p));
                        return p;
                }
                guarda(&e, 1);
                estado = TEXTO;
                ++p;
                continue;
            }
            case HEX: {
                int v = hex(c);
                if (v < 0) {
                    sintaxe(posicao(p));
                    return p;
                }
                codigo = codigo * 16 + static_cast<uint32_t>(v);
                ++p;
                if (--faltam > 0) {
                    continue;
                }
                bool baixa = codigo >= 0xDC00 && codigo <= 0xDFFF;
                if (alta != 0) {
                    if (!baixa) {
                        sintaxe(posicao(p - 1));
                        return p;
                    }
                    guardaCodigo(0x10000 + ((alta - 0xD800) << 10) + (codigo - 0xDC00));
                    alta = 0;
                    estado = TEXTO;
                } else if (codigo >= 0xD800 && codigo <= 0xDBFF) {
                    alta = codigo;
                    estado = BARRA_BAIXA;
                } else if (baixa) {
                    sintaxe(posicao(p - 1));
                    return p;
                } else {
                    guardaCodigo(codigo);
                    estado = TEXTO;
                }
                continue;
            }
            case BARRA_BAIXA:
            case U_BAIXA:
                if (c != (estado == BARRA_BAIXA ? '\\' : 'u')) {
                    sintaxe(posicao(p));
                    return p;
                }
                ++p;
                if (estado == U_BAIXA) {
                    faltam = 4;
                    codigo = 0;
                    estado = HEX;
                } else {
                    estado = U_BAIXA;
                }
                continue;
            default:
                return p;
        }
    }
    return p;
}

void LeitorTransacoes::terminaTexto() {
    destino = nullptr;
    switch (contexto) {
        case CHAVE_LINHA:
            chave = qualChave(chaveLida.data(), chaveLida.size());
            estado = DOIS_PONTOS;
            return;
        case CHAVE_OUTRA:
            estado = DOIS_PONTOS;
            return;
        case VALOR_CAMPO:
        case VALOR_OUTRO:
            estado = DEPOIS;
            escalar(TEXTO_JSON, 0);
            return;
    }
}

const char* LeitorTransacoes::leNumero(const char* p, const char* fim) {
    for (; p < fim; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool digito = c >= '0' && c <= '9';
        unsigned d = c - '0';
        switch (num.fase) {
            case N_MENOS:
                if (!digito) {
                    sintaxe(posicao(p));
                    return p;
                }
                num.fase = d == 0 ? N_ZERO : N_INT;
                break;
            case N_ZERO:
            case N_INT:
                if (digito && num.fase == N_INT) {
                    break;
                }
                if (c == '.') {
                    num.inteiro = false;
                    num.fase = N_PONTO;
                    continue;
                }
                if (c == 'e' || c == 'E') {
                    num.inteiro = false;
                    num.fase = N_E;
                    continue;
                }
                terminaNumero(posicao(p));
                return p;
            case N_PONTO:
            case N_FRAC:
                if (digito) {
                    num.fase = N_FRAC;
                    if (!num.significativo && d == 0) {
                        ++num.zerosFracao;
                    } else {
                        num.significativo = true;
                        if (num.digitos.size() < kDigitosGuardados) {
                            num.digitos.push_back(static_cast<char>(c));
                        } else if (d != 0) {
                            num.resto = true;
                        }
                    }
                    continue;
                }
                if (num.fase == N_FRAC && (c == 'e' || c == 'E')) {
                    num.fase = N_E;
                    continue;
                }
                if (num.fase == N_FRAC) {
                    terminaNumero(posicao(p));
                } else {
                    sintaxe(posicao(p));
                }
                return p;
            case N_E:
                if (c == '+' || c == '-') {
                    num.expNegativo = c == '-';
                    num.fase = N_ESINAL;
                    continue;
                }
                [[fallthrough]];
            case N_ESINAL:
            case N_EXP:
                if (digito) {
                    num.fase = N_EXP;
                    // Far beyond any double, and far from overflowing.
                    if (num.expoente < 1000000000000LL) {
                        num.expoente = num.expoente * 10 + d;
                    }
                    continue;
                }
                if (num.fase == N_EXP) {
                    terminaNumero(posicao(p));
                } else {
                    sintaxe(posicao(p));
                }
                return p;
        }
        // A digit of the integer part (after a minus sign, or after a first digit).
        if (d != 0 || num.significativo) {
            num.significativo = true;
            ++num.digitosInteiros;
            if (num.digitos.size() < kDigitosGuardados) {
                num.digitos.push_back(static_cast<char>(c));
            } else if (d != 0) {
                num.resto = true;
            }
        }
        if (num.valor > (UINT64_MAX - d) / 10) {
            num.grande = true;
        } else {
            num.valor = num.valor * 10 + d;
        }
    }
    return p;
}

void LeitorTransacoes::terminaNumero(size_t byte) {
    estado = DEPOIS;
    const uint64_t kMenor = uint64_t{1} << 63;
    if (num.inteiro && !num.grande && (!num.negativo || num.valor <= kMenor)) {
        int64_t n = 0;
        if (num.negativo) {
            n = num.valor == kMenor ? INT64_MIN : -static_cast<int64_t>(num.valor);
        } else {
            n = num.valor > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX
                                                             : static_cast<int64_t>(num.valor);
        }
        return escalar(INTEIRO, n);
    }
    // Any other number is a double, and one too large for a double is no JSON we take.
    if (num.significativo) {
        int64_t e = (num.digitosInteiros > 0 ? num.digitosInteiros - 1 : -(num.zerosFracao + 1)) +
                    (num.expNegativo ? -num.expoente : num.expoente);
        bool infinito = e > 308;
        if (e == 308) {
            std::string t = "0." + num.digitos + (num.resto ? "1" : "") + "e309";
            infinito = std::isinf(std::strtod(t.c_str(), nullptr));
        }
        if (infinito) {
            return sintaxe(byte - 1);
        }
    }
    escalar(OUTRO, 0);
}

void LeitorTransacoes::escalar(Tipo tipo, int64_t numero) {
    if (prof == 0) {
        return recusa("o corpo n\xE3o \xE9 um array JSON");
    }
    if (prof == 1) {
        ++elemento;
        return recusa("elemento " + std::to_string(elemento) + " n\xE3o \xE9 um objeto");
    }
    if (prof > 2 || chave == OUTRA) {
        return;
    }
    if (tipo != (ehTexto(chave) ? TEXTO_JSON : INTEIRO)) {
        return recusa(prefixo() + "\"" + nomes[chave] + "\" n\xE3o \xE9 " +
                      (ehTexto(chave) ? "um texto" : "um inteiro"));
    }
    if (tipo == INTEIRO) {
        if (numero < INT_MIN || numero > INT_MAX) {
            return recusa(prefixo() + "\"" + nomes[chave] + "\" fora do intervalo de 32 bits");
        }
        (chave == USER ? user : event) = static_cast<int>(numero);
    }
    presentes |= 1u << chave;
}

void LeitorTransacoes::fechaLinha() {
    for (int c = CARD; c < OUTRA; ++c) {
        if ((presentes & (1u << c)) == 0) {
            return recusa("elemento " + std::to_string(elemento) + " sem a chave \"" + nomes[c] +
                          "\"");
        }
    }
    auto visto = indice.find(user);
    int64_t soma = event;
    if (visto != indice.end()) {
        soma += lidos[visto->second].soma;
    } else if (base != nullptr) {
        auto b = base->find(user);
        soma += b == base->end() ? 0 : b->second;
    }
    if (soma < INT_MIN || soma > INT_MAX) {
        return recusa(prefixo() +
                      "o cr\xE9"
                      "dito do usu\xE1rio " +
                      std::to_string(user) + " sairia do intervalo de 32 bits");
    }
    if (visto != indice.end()) {
        lidos[visto->second].soma = static_cast<int>(soma);
        return;
    }
    indice.emplace(user, static_cast<uint32_t>(lidos.size()));
    lidos.push_back(Usuario{user, std::move(campos[0]), std::move(campos[1]), std::move(campos[2]),
                            std::move(campos[3]), static_cast<int>(soma)});
}

void LeitorTransacoes::guarda(const char* s, size_t n) {
    if (destino == nullptr) {
        return;
    }
    if (destino == &chaveLida) {
        // Enough to tell that a long key is none of the six.
        if (chaveLida.size() > kMaiorChave) {
            return;
        }
        n = std::min(n, kMaiorChave + 1 - chaveLida.size());
    } else {
        size_t maior = kMaiorCampo[destino - campos];
        if (destino->size() >= maior) {
            return;
        }
        n = std::min(n, maior - destino->size());
    }
    destino->append(s, n);
}

void LeitorTransacoes::guardaCodigo(uint32_t c) {
    char b[4];
    size_t n = 0;
    if (c < 0x80) {
        b[n++] = static_cast<char>(c);
    } else if (c < 0x800) {
        b[n++] = static_cast<char>(0xC0 | (c >> 6));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        b[n++] = static_cast<char>(0xE0 | (c >> 12));
        b[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        b[n++] = static_cast<char>(0xF0 | (c >> 18));
        b[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        b[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        b[n++] = static_cast<char>(0x80 | (c & 0x3F));
    }
    guarda(b, n);
}

void LeitorTransacoes::sintaxe(size_t byte) {
    recusa("o corpo n\xE3o \xE9 JSON v\xE1lido (byte " + std::to_string(byte) + ")");
}

void LeitorTransacoes::recusa(const std::string& motivo) {
    erro = motivo;
    estado = RECUSADO;
}

std::string LeitorTransacoes::prefixo() const {
    return "elemento " + std::to_string(elemento) + ": ";
}

std::string carregaTransacoes(const std::string& corpo, List& destino) {
    LeitorTransacoes leitor;
    leitor.le(corpo.data(), corpo.size());
    std::string motivo = leitor.termina();
    if (motivo.empty()) {
        leitor.entrega(destino);
    }
    return motivo;
}
