#include "opcoes.h"

#include <getopt.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const kAjuda =
    "Uso: catraca [OP\xC7\xC3O]...\n"
    "Controla as catracas de entrada e de sa\xED"
    "da do RU pelo console: pergunta o endere\xE7o e a\n"
    "porta do servidor, carrega a lista de transa\xE7\xF5"
    "es e registra entradas e sa\xED"
    "das.\n"
    "\n"
    "  --timeout SEGUNDOS  desiste de um pedido ao servidor quando a conex\xE3o n\xE3o se faz\n"
    "                      ou a transfer\xEAncia fica SEGUNDOS sem andar (padr\xE3o 10; 0 espera\n"
    "                      sem limite, salvo na parada, que n\xE3o come\xE7"
    "a envios depois de\n"
    "                      20 s); depois disso o servidor fica 60 s em sil\xEAncio\n"
    "  --journal ARQUIVO   guarda em ARQUIVO (SQLite) cada evento de cr\xE9"
    "dito at\xE9 o servidor\n"
    "                      confirm\xE1-lo, e o envia de novo ao reiniciar\n"
    "  --cacert ARQUIVO    confia nas autoridades certificadoras de ARQUIVO para um\n"
    "                      endere\xE7o digitado como https://host\n"
    "  --cert ARQUIVO      apresenta ao servidor https:// o certificado de cliente de\n"
    "                      ARQUIVO (PEM), que identifica esta placa; vai com --key\n"
    "  --key ARQUIVO       a chave privada (PEM) do certificado de --cert\n"
    "  --refresh SEGUNDOS  quando uma entrada \xE9 recusada e a lista de transa\xE7\xF5"
    "es tem mais\n"
    "                      de SEGUNDOS, baixa a lista de novo e procura o cart\xE3o outra vez\n"
    "  --sync SEGUNDOS     entre duas passagens, quando a lista de transa\xE7\xF5"
    "es tem mais de\n"
    "                      SEGUNDOS (de 1 a 86400), baixa do servidor o que mudou nela, sem\n"
    "                      esperar uma entrada recusada\n"
    "  --idempotency-keys  envia com cada evento de cr\xE9"
    "dito uma chave que s\xF3 ele tem\n"
    "                      (Idempotency-Key), a mesma em cada nova tentativa, para que o\n"
    "                      servidor n\xE3o o grave duas vezes (o ru-server as aceita por\n"
    "                      padr\xE3o)\n"
    "  --board[=NOME]      manda em cada pedido ao servidor o nome desta placa\n"
    "                      (Catraca-Board): NOME ou, sem valor, o nome da m\xE1quina\n"
    "  --online            a cada entrada, pergunta ao servidor antes de abrir a catraca;\n"
    "                      sem resposta, a placa decide sozinha e n\xE3o pergunta por 60 s;\n"
    "                      inclui --idempotency-keys\n"
    "  --entry-timeout SEGUNDOS  quanto esperar por essa resposta (padr\xE3o 1, de 1 a 60,\n"
    "                      no m\xE1ximo o --timeout)\n"
    "  --help              mostra este texto e termina\n"
    "  --version           mostra a vers\xE3o e termina\n"
    "\n"
    "Status de sa\xED"
    "da: 0 quando nada ficou pendente, 1 quando eventos n\xE3o chegaram ao\n"
    "servidor ou o di\xE1rio n\xE3o abriu, 2 para op\xE7\xF5"
    "es inv\xE1lidas.\n";

// CATRACA_VERSION comes from the build: the one version of the project.
const char* const kVersao = "catraca " CATRACA_VERSION "\n";

namespace {

// Above every byte, so that getopt's optopt tells a long option (refused for a value it
// takes none of) from an unknown short one.
enum Codigo {
    TIMEOUT = 256,
    JOURNAL,
    CACERT,
    CERT,
    KEY,
    REFRESH,
    SYNC,
    KEYS,
    BOARD,
    ONLINE,
    ENTRY_TIMEOUT,
    HELP,
    VERSION
};

const option kOpcoes[] = {
    {"timeout", required_argument, nullptr, TIMEOUT},
    {"journal", required_argument, nullptr, JOURNAL},
    {"cacert", required_argument, nullptr, CACERT},
    {"cert", required_argument, nullptr, CERT},
    {"key", required_argument, nullptr, KEY},
    {"refresh", required_argument, nullptr, REFRESH},
    {"sync", required_argument, nullptr, SYNC},
    {"idempotency-keys", no_argument, nullptr, KEYS},
    {"board", optional_argument, nullptr, BOARD},
    {"online", no_argument, nullptr, ONLINE},
    {"entry-timeout", required_argument, nullptr, ENTRY_TIMEOUT},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

// A day: anything longer is a typing error, and seconds must fit libcurl's long.
const long kSegundosMaximo = 86400;

LeituraOpcoes erro(const std::string& texto) {
    LeituraOpcoes l;
    l.acao = LeituraOpcoes::Erro;
    l.erro = "catraca: " + texto + " (veja catraca --help)";
    return l;
}

// Why the client certificate of `cert` and its key in `key` cannot be used, or "" when
// they can. Checked at start: a key with a pass phrase would otherwise make OpenSSL ask for
// it on the console at the first request, where the next card typed would be taken for it.
std::string defeitoDoCertificado(const std::string& cert, const std::string& key) {
    std::string defeito;
    X509* certificado = nullptr;
    EVP_PKEY* chave = nullptr;
    bool pediuSenha = false;
    // Refuses, remembering that it was asked.
    pem_password_cb* semSenha = [](char*, int, int, void* pediu) {
        *static_cast<bool*>(pediu) = true;
        return -1;
    };
    if (FILE* f = std::fopen(cert.c_str(), "r")) {
        certificado = PEM_read_X509(f, nullptr, semSenha, &pediuSenha);
        std::fclose(f);
    }
    pediuSenha = false;
    if (FILE* f = std::fopen(key.c_str(), "r")) {
        chave = PEM_read_PrivateKey(f, nullptr, semSenha, &pediuSenha);
        std::fclose(f);
    }
    if (certificado == nullptr) {
        defeito = "n\xE3o h\xE1 certificado PEM em --cert \"" + cert + "\"";
    } else if (pediuSenha) {
        defeito = "a chave de --key \"" + key +
                  "\" tem senha, que catraca n\xE3o pede: use uma chave sem senha";
    } else if (chave == nullptr) {
        defeito = "n\xE3o h\xE1 chave privada PEM em --key \"" + key + "\"";
    } else if (X509_check_private_key(certificado, chave) != 1) {
        defeito = "a chave de --key \"" + key + "\" n\xE3o \xE9 a do certificado de --cert \"" +
                  cert + "\"";
    }
    X509_free(certificado);
    EVP_PKEY_free(chave);
    ERR_clear_error();
    return defeito;
}

// Seconds from `valor`, plain decimal digits from `menor` to `maior`; -1 otherwise.
long segundos(const std::string& valor, long menor, long maior) {
    char* fim = nullptr;
    errno = 0;
    long s = std::strtol(valor.c_str(), &fim, 10);
    if (valor.empty() || *fim != '\0' || errno != 0 || s < menor || s > maior ||
        valor.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return s;
}

std::string nomeDaMaquina() {
    char nome[HOST_NAME_MAX + 2] = {};
    if (gethostname(nome, sizeof nome - 1) != 0) {
        return "";
    }
    return nome;
}

}  // namespace

bool nomeDePlacaValido(const std::string& nome) {
    if (nome.empty() || nome.size() > 64) {
        return false;
    }
    for (char c : nome) {
        if (c < 0x21 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

LeituraOpcoes leOpcoes(int argc, char* argv[]) {
    LeituraOpcoes l;
    // 0 makes getopt start afresh, whatever an earlier call left behind.
    optind = 0;
    opterr = 0;
    for (;;) {
        int indice = -1;
        int c = getopt_long(argc, argv, ":", kOpcoes, &indice);
        if (c == -1) {
            break;
        }
        std::string valor = optarg == nullptr ? "" : optarg;
        switch (c) {
            case TIMEOUT:
            case REFRESH:
            case SYNC: {
                const char* nome = c == TIMEOUT   ? "--timeout"
                                   : c == REFRESH ? "--refresh"
                                                  : "--sync";
                // A sync every 0 seconds would hold the loop in downloads.
                const long minimo = c == SYNC ? 1 : 0;
                long s = segundos(valor, minimo, kSegundosMaximo);
                if (s < 0) {
                    return erro(std::string("valor inv\xE1lido para ") + nome + ": \"" + valor +
                                "\" (segundos, de " + std::to_string(minimo) + " a " +
                                std::to_string(kSegundosMaximo) + ")");
                }
                (c == TIMEOUT   ? l.opcoes.timeout
                 : c == REFRESH ? l.opcoes.refresh
                                : l.opcoes.sync) = static_cast<int>(s);
                break;
            }
            case ENTRY_TIMEOUT: {
                long s = segundos(valor, 1, kMaiorEsperaEntrada);
                if (s < 0) {
                    return erro("valor inv\xE1lido para --entry-timeout: \"" + valor +
                                "\" (segundos, de 1 a " + std::to_string(kMaiorEsperaEntrada) +
                                ")");
                }
                l.opcoes.esperaEntrada = static_cast<int>(s);
                break;
            }
            case BOARD:
                // "--board NAME" as well: catraca takes no other word, so the next one is
                // the name unless it is an option.
                if (optarg == nullptr && optind < argc && argv[optind][0] != '-') {
                    valor = argv[optind++];
                } else if (optarg == nullptr) {
                    valor = nomeDaMaquina();
                    if (!nomeDePlacaValido(valor)) {
                        return erro("o nome da m\xE1quina (\"" + valor +
                                    "\") n\xE3o serve de nome da placa: use --board=NOME");
                    }
                }
                if (!nomeDePlacaValido(valor)) {
                    return erro("valor inv\xE1lido para --board: \"" + valor +
                                "\" (de 1 a 64 caracteres ASCII vis\xEDveis, sem espa\xE7os)");
                }
                l.opcoes.nomePlaca = valor;
                break;
            case ONLINE:
                // A question whose answer comes late is followed by a local decision and
                // an upload of the same event: without its key, the server stores it twice.
                l.opcoes.online = true;
                l.opcoes.chaves = true;
                break;
            case JOURNAL:
                if (valor.empty()) {
                    return erro("--journal precisa do nome de um arquivo");
                }
                l.opcoes.journal = valor;
                break;
            case CACERT:
            case CERT:
            case KEY: {
                const char* nome = c == CACERT ? "--cacert" : c == CERT ? "--cert" : "--key";
                if (access(valor.c_str(), R_OK) != 0) {
                    return erro(std::string("n\xE3o \xE9 poss\xEDvel ler o arquivo de ") + nome +
                                " \"" + valor + "\": " + std::strerror(errno));
                }
                (c == CACERT ? l.opcoes.cacert : c == CERT ? l.opcoes.cert : l.opcoes.key) = valor;
                break;
            }
            case KEYS:
                l.opcoes.chaves = true;
                break;
            case HELP:
                l.acao = LeituraOpcoes::Ajuda;
                break;
            case VERSION:
                l.acao = LeituraOpcoes::Versao;
                break;
            case ':':
                return erro(std::string("a op\xE7\xE3o ") + argv[optind - 1] +
                            " precisa de um valor");
            default:
                if (optopt >= TIMEOUT) {
                    for (const option& o : kOpcoes) {
                        if (o.val == optopt) {
                            return erro(std::string("a op\xE7\xE3o --") + o.name +
                                        " n\xE3o aceita valor");
                        }
                    }
                }
                // An unknown short option may stand among others in one word (-xy),
                // where optind has not moved on: name the option, not the word.
                if (optopt != 0) {
                    return erro(std::string("op\xE7\xE3o desconhecida: -") +
                                static_cast<char>(optopt));
                }
                return erro(std::string("op\xE7\xE3o desconhecida: ") + argv[optind - 1]);
        }
    }
    if (optind < argc) {
        return erro(std::string("argumento inesperado: ") + argv[optind]);
    }
    if (l.opcoes.cert.empty() != l.opcoes.key.empty()) {
        return erro("--cert e --key v\xE3o juntas");
    }
    if (!l.opcoes.cert.empty()) {
        const std::string defeito = defeitoDoCertificado(l.opcoes.cert, l.opcoes.key);
        if (!defeito.empty()) {
            return erro(defeito);
        }
    }
    // The question at the entry must give up before any other request would.
    if (l.opcoes.timeout > 0 && l.opcoes.esperaEntrada > l.opcoes.timeout) {
        return erro("--entry-timeout " + std::to_string(l.opcoes.esperaEntrada) +
                    " passa de --timeout " + std::to_string(l.opcoes.timeout));
    }
    return l;
}
