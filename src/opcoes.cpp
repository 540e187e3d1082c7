#include "opcoes.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
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
    "                      sem limite); depois disso o servidor fica 60 s em sil\xEAncio\n"
    "  --journal ARQUIVO   guarda em ARQUIVO (SQLite) cada evento de cr\xE9"
    "dito at\xE9 o servidor\n"
    "                      confirm\xE1-lo, e o envia de novo ao reiniciar\n"
    "  --cacert ARQUIVO    confia nas autoridades certificadoras de ARQUIVO para um\n"
    "                      endere\xE7o digitado como https://host\n"
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
    "                      servidor n\xE3o o grave duas vezes; o servidor tamb\xE9m precisa\n"
    "                      aceitar as chaves (ru-server --idempotency-keys)\n"
    "  --help              mostra este texto e termina\n"
    "  --version           mostra a vers\xE3o e termina\n"
    "\n"
    "Status de sa\xED"
    "da: 0 quando nada ficou pendente, 1 quando eventos n\xE3o chegaram ao\n"
    "servidor ou o di\xE1rio n\xE3o abriu, 2 para op\xE7\xF5"
    "es inv\xE1lidas.\n";

const char* const kVersao = "catraca 1.1\n";

namespace {

// Above every byte, so that getopt's optopt tells a long option (refused for a value it
// takes none of) from an unknown short one.
enum Codigo { TIMEOUT = 256, JOURNAL, CACERT, REFRESH, SYNC, KEYS, HELP, VERSION };

const option kOpcoes[] = {
    {"timeout", required_argument, nullptr, TIMEOUT},
    {"journal", required_argument, nullptr, JOURNAL},
    {"cacert", required_argument, nullptr, CACERT},
    {"refresh", required_argument, nullptr, REFRESH},
    {"sync", required_argument, nullptr, SYNC},
    {"idempotency-keys", no_argument, nullptr, KEYS},
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

}  // namespace

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
                char* fim = nullptr;
                errno = 0;
                long s = std::strtol(valor.c_str(), &fim, 10);
                if (valor.empty() || *fim != '\0' || errno != 0 || s < minimo ||
                    s > kSegundosMaximo ||
                    valor.find_first_not_of("0123456789") != std::string::npos) {
                    return erro(std::string("valor inv\xE1lido para ") + nome + ": \"" + valor +
                                "\" (segundos, de " + std::to_string(minimo) + " a " +
                                std::to_string(kSegundosMaximo) + ")");
                }
                (c == TIMEOUT   ? l.opcoes.timeout
                 : c == REFRESH ? l.opcoes.refresh
                                : l.opcoes.sync) = static_cast<int>(s);
                break;
            }
            case JOURNAL:
                if (valor.empty()) {
                    return erro("--journal precisa do nome de um arquivo");
                }
                l.opcoes.journal = valor;
                break;
            case CACERT:
                if (access(valor.c_str(), R_OK) != 0) {
                    return erro("n\xE3o \xE9 poss\xEDvel ler o arquivo de --cacert \"" + valor +
                                "\": " + std::strerror(errno));
                }
                l.opcoes.cacert = valor;
                break;
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
    return l;
}
