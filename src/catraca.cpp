#include "catraca.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "admissao.h"
#include "atualizacao.h"
#include "console.h"
#include "idempotencia.h"

namespace {

const char* const kContagemRecusada = "Nao foi possivel alterar a contagem no servidor";
const char* const kSemCredito = "Creditos insuficientes ou j\xE1 est\xE1 dentro do RU";

// A refusal that the same request will meet again however often it is sent; other
// failures (no answer, a time-out, 5xx, and the 4xx of a server busy or not ready for
// it: 408 Request Timeout, 421 Misdirected Request, 423 Locked, 425 Too Early, 429 Too
// Many Requests) may pass.
bool recusaDefinitiva(int codigo) {
    return codigo >= 400 && codigo < 500 && codigo != 408 && codigo != 421 && codigo != 423 &&
           codigo != 425 && codigo != 429;
}

// The longest wait of a student refused for good, in first waits.
const int kMaiorEspera = 15;

// Moves the student of `n`, a node of `de`, to the tail of `para` and frees the node.
void move(List* de, Node<Student>* n, List* para) {
    Node<Student>* solto = de->removeStudent(n);
    para->append(solto->getData());
    delete solto;
}

Servidor::Ajustes ajustesPadrao() {
    Servidor::Ajustes a;
    a.paradas = console::pedidosDeParada;
    return a;
}

}  // namespace

Catraca::Catraca() : Catraca(ajustesPadrao(), nullptr) {}

// The lists inside and awaiting upload start null as well: the destructor frees
// whatever exists, and only a successful load creates them.
Catraca::Catraca(Servidor::Ajustes ajustes, Journal* j, int apos, std::string p,
                 std::chrono::milliseconds sinc)
    : serverIP(""),
      serverPort(0),
      lista(nullptr),
      listaDentro(nullptr),
      listaAtualiza(nullptr),
      status(0),
      servidor(std::move(ajustes)),
      pendentes(j, !p.empty()),
      atualizaApos(apos),
      placa(std::move(p)),
      sincronia(sinc) {}

Catraca::~Catraca() {
    delete lista;
    delete listaDentro;
    delete listaAtualiza;
}

void Catraca::start() {
    std::cout << "Digite o ip do servidor" << std::endl;
    // An address longer than any host name is kept cut short: it cannot connect.
    bool inteiro = true;
    console::leToken(std::cin, serverIP, console::kMaiorEndereco, &inteiro);
    std::cout << "Digite a porta" << std::endl;
    std::cin >> serverPort;
    std::string endereco = serverIP + ":" + std::to_string(serverPort);
    std::cout << "Conectando a " << endereco << std::endl;

    servidor.setEndereco(endereco);
    // Read as it arrives and kept only when the whole transfer and every row are sound:
    // a refused roster, or one whose transfer fails half-way, leaves nothing half-loaded.
    Carga carga = baixaTransacoes(servidor, "", {});
    if (carga.codigo != 200) {
        std::cout << "erro na inicializacao! codigo do erro :" << carga.codigo << std::endl;
        status = -1;
        return;
    }
    std::cout << "Inicializando..." << std::endl;
    std::cout << 0 << std::endl;

    if (!carga.motivo.empty()) {
        std::cout << "Lista de transa\xE7\xF5"
                     "es recusada: "
                  << carga.motivo << std::endl;
        status = -1;
        return;
    }
    List* nova = new List();
    carga.leitor->entrega(*nova);
    lista = nova;
    listaDentro = new List();
    listaAtualiza = new List();
    status = 1;
    ultimaCarga = std::chrono::steady_clock::now();
    // Cursors serve later downloads only.
    if (atualizaApos >= 0 || sincronia.count() >= 0) {
        cursor = carga.cursor;
    }
    if (pendentes.comDiario()) {
        descartaPergunta();
        recuperaDiario(true);
    }
}

void Catraca::descartaPergunta() {
    std::string erro;
    std::optional<int> usuario = pendentes.descartaPergunta(&erro);
    if (usuario) {
        std::cout << "Evento de cr\xE9"
                     "dito do usu\xE1rio "
                  << *usuario << " perguntado ao servidor sem decis\xE3o: retirado do di\xE1rio"
                  << std::endl;
    } else if (!erro.empty()) {
        std::cout << "Evento perguntado ao servidor sem decis\xE3o n\xE3o retirado do di\xE1rio ("
                  << erro << ")" << std::endl;
    }
}

void Catraca::recuperaDiario(bool naPartida) {
    std::unordered_map<int, Node<Student>*> fora;
    for (Node<Student>* n = lista->getHead(); n != nullptr; n = n->getNext()) {
        fora[n->getData()->getUserID()] = n;
    }
    std::unordered_map<int, Student*> aguardando;
    unsigned int recuperados = 0;
    unsigned int orfaos = 0;
    for (const Journal::Evento& e : pendentes.recuperaveis()) {
        Student* s = nullptr;
        auto a = aguardando.find(e.userID);
        if (a != aguardando.end()) {
            s = a->second;
        } else if (auto f = fora.find(e.userID); f != fora.end()) {
            s = f->second->getData();
            move(lista, f->second, listaAtualiza);
            fora.erase(f);
            aguardando[e.userID] = s;
        }
        long long credito = s == nullptr ? 0 : static_cast<long long>(s->getCredito()) + e.valor;
        if (s == nullptr || credito < INT_MIN || credito > INT_MAX) {
            ++orfaos;
            continue;
        }
        s->insertEvent(new Node<int>(new int(e.valor)));
        s->incContEvent();
        pendentes.adota(e);
        ++recuperados;
        // The download just made may hold its row already.
        marcaIncerto(s, s->getContEvent(), true);
    }
    if (recuperados > 0) {
        std::cout << recuperados
                  << (recuperados == 1 ? " evento de cr\xE9"
                                         "dito recuperado do di\xE1rio"
                                       : " eventos de cr\xE9"
                                         "dito recuperados do di\xE1rio")
                  << std::endl;
    }
    orfaosNoDiario = orfaos;
    if (naPartida && orfaos > 0) {
        std::cout << orfaos
                  << (orfaos == 1 ? " evento de um usu\xE1rio fora da lista continua no di\xE1rio"
                                  : " eventos de usu\xE1rios fora da lista continuam no di\xE1rio")
                  << std::endl;
    }
}

Student::Envio Catraca::envioDe(Student* s, int* codigo) {
    return [this, s, codigo](const std::string& caminho, const std::string& corpo) {
        // Uploads go oldest first, so the oldest number is the event being sent.
        int64_t numero = pendentes.primeiro(s->getUserID());
        RestClient::Response r =
            numero != 0 && !placa.empty()
                ? servidor.post(caminho, corpo, chaveIdempotencia(placa, numero))
                : servidor.post(caminho, corpo);
        *codigo = r.code;
        std::string erro;
        if (r.code == 201 && !pendentes.confirma(s->getUserID(), &erro)) {
            std::cout << "Evento de cr\xE9"
                         "dito do usu\xE1rio "
                      << s->getUserID()
                      << " confirmado pelo servidor, mas n\xE3o apagado do di\xE1rio (" << erro
                      << ")" << std::endl;
        }
        return r.code;
    };
}

bool Catraca::enviaEventos(Student* s, bool* passageira) {
    int codigo = 0;
    unsigned int antes = s->getContEvent();
    bool entregue = s->atualizaEvents(envioDe(s, &codigo)) != 0;
    if (s->getContEvent() < antes) {
        // The server takes this student's uploads again: a later refusal is news.
        recusas.erase(s->getUserID());
        auto i = incertos.find(s->getUserID());
        if (i != incertos.end() && i->second.faltam <= antes - s->getContEvent()) {
            reconcilia = reconcilia || i->second.viuLinhas;
            incertos.erase(i);
        } else if (i != incertos.end()) {
            i->second.faltam -= antes - s->getContEvent();
        }
    }
    if (entregue) {
        return true;
    }
    if (!recusaDefinitiva(codigo)) {
        // The request may have been stored before the failure (a reset, a time-out, a
        // 5xx after the commit); it is the oldest pending event.
        marcaIncerto(s, 1, false);
        *passageira = true;
        return false;
    }
    Recusa& r = recusas[s->getUserID()];
    if (r.codigo != codigo) {
        std::cout << "Evento de cr\xE9"
                     "dito do usu\xE1rio "
                  << s->getUserID() << " recusado pelo servidor: c\xF3"
                  << "digo do erro " << codigo << std::endl;
        r.codigo = codigo;
    }
    r.espera =
        r.espera.count() == 0 ? esperaRecusa : std::min(2 * r.espera, kMaiorEspera * esperaRecusa);
    r.ate = std::chrono::steady_clock::now() + r.espera;
    r.soma = *s->getHead()->getData();
    return false;
}

void Catraca::run() {
    std::string cartao = "";
    bool ocioso = false;
    while (!console::paradaPedida()) {
        // A card already typed goes first: the sync waits for the next idle moment.
        if ((ocioso || sincroniaDevida()) && !console::entradaPronta(std::cin)) {
            recarrega([] { return console::entradaPronta(std::cin); });
            ultimaSincronia = std::chrono::steady_clock::now();
        }
        ocioso = false;
        // The whole screen and its prompt leave in one flush, not one per line.
        std::cout << std::string(101, '\n') << "Status atual dos usuarios fora do RU\n";
        lista->print(std::cout);
        listaAtualiza->print(std::cout);
        std::cout << "\ntem " << listaDentro->getContador()
                  << " pessoas dentro do RU. pessoas dentro do RU:\n";
        listaDentro->print(std::cout);
        std::cout << "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: "
                  << std::flush;
        if (sincronia.count() >= 0) {
            // Idle until the sync is due: then the pass ends without a card and the next
            // one syncs first.
            auto falta = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(ultimaCarga, ultimaSincronia) + sincronia -
                std::chrono::steady_clock::now());
            if (!console::aguarda(std::cin,
                                  static_cast<int>(std::max<int64_t>(0, falta.count())))) {
                ocioso = true;
                continue;
            }
        }

        int numero = 0;
        if (!(std::cin >> numero)) {
            if (std::cin.eof()) {
                break;
            }
            // Not a decimal int: drop the rest of the line and ask again.
            std::cin.clear();
            std::cin.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            if (std::cin.eof()) {
                break;
            }
            continue;
        }
        std::cout << "Digite o cart\xE3o" << std::endl;
        bool inteiro = true;
        if (!console::leToken(std::cin, cartao, console::kMaiorCartao, &inteiro)) {
            break;
        }
        if (!inteiro) {
            // No card is that long: a stuck reader, answered as an unknown card, but
            // without a roster download on its account.
            if (numero == 1) {
                std::cout << "Pessoa n\xE3o encontrada" << std::endl;
            }
            continue;
        }
        // Bytes of 0x80 and above go to toupper as unsigned char: a negative char
        // is undefined there.
        for (char& ch : cartao) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }

        if (numero == 1) {
            entrada(cartao, true);
        } else if (numero == 2) {
            Node<Student>* n = listaDentro->find(cartao);
            if (n == nullptr) {
                continue;
            }
            std::cout << "Saida registrada" << std::endl;
            std::cout << "credito atual na placa: " << n->getData()->getCredito() << std::endl;
            move(listaDentro, n, listaAtualiza);
            atualizaservidor();
            std::cout << std::endl << "servidor atualizado" << std::endl;
        }
    }

    unsigned int perdidos = enviaPendentes();
    if (perdidos > 0) {
        std::cout << "N\xE3o foi poss\xEDvel enviar " << perdidos
                  << (perdidos == 1 ? " evento" : " eventos")
                  << " de cr\xE9"
                     "dito ao servidor."
                  << std::endl;
    }
    // The next start would take these for new events and send them again.
    size_t retidos = pendentes.retidos();
    if (retidos > 0) {
        std::cout << retidos
                  << (retidos == 1 ? " evento de cr\xE9"
                                     "dito confirmado pelo servidor continua"
                                   : " eventos de cr\xE9"
                                     "dito confirmados pelo servidor continuam")
                  << " no di\xE1rio (" << pendentes.ultimoErro() << ")" << std::endl;
    }
}

void Catraca::entrada(const std::string& cartao, bool podeAtualizar, bool podePerguntar) {
    List* origem = lista;
    Node<Student>* n = lista->find(cartao);
    if (n != nullptr) {
        std::cout << "Pessoa encontrada" << std::endl;
    } else {
        origem = listaAtualiza;
        n = listaAtualiza->find(cartao);
        if (n == nullptr) {
            std::cout << "Pessoa n\xE3o encontrada" << std::endl;
            // A card of someone inside is refused whatever the roster says: no download.
            if (podeAtualizar && listaDentro->find(cartao) == nullptr && atualizaLista()) {
                entrada(cartao, false, podePerguntar);
            }
            return;
        }
        std::cout << "Pessoa encontrada na lista atualiza" << std::endl;
    }
    Student* s = n->getData();
    bool perguntou = false;
    if (online && podePerguntar) {
        if (!registraEvento(s, true)) {
            return;
        }
        perguntou = true;
        int64_t numero = pendentes.ultimo(s->getUserID());
        Veredito v =
            perguntaEntrada(servidor, s->getUserID(),
                            numero != 0 && !placa.empty() ? chaveIdempotencia(placa, numero) : "");
        if (v.tipo == Veredito::Admite) {
            retiraEvento(s, true);
            assumeCredito(s, v.comCredito ? v.credito : creditoAssentado(s) - 1);
            std::cout << "AUTORIZADO... novo credito (na placa): " << s->getCredito() << std::endl;
            move(origem, n, listaDentro);
            return;
        }
        if (v.tipo == Veredito::Recusa) {
            retiraEvento(s, false);
            if (v.comCredito) {
                assumeCredito(s, v.credito);
            }
            std::cout << kSemCredito << std::endl;
            return;
        }
        std::cout << "Decidido na placa, sem o servidor" << std::endl;
    }
    if (s->getCredito() < 1) {
        if (perguntou) {
            retiraEvento(s, false);
        }
        std::cout << kSemCredito << std::endl;
        if (podeAtualizar && atualizaLista()) {
            entrada(cartao, false, !perguntou);
        }
        return;
    }
    if (!perguntou && !registraEvento(s)) {
        return;
    }
    // Decided here, the asked event is an ordinary pending one before the turnstile opens.
    std::string erro;
    if (perguntou && !pendentes.decideSozinho(&erro)) {
        retiraEvento(s, false);
        std::cout << "Entrada recusada: n\xE3o foi poss\xEDvel gravar o evento no "
                     "di\xE1rio ("
                  << erro << ")" << std::endl;
        return;
    }
    s->insertEvent(new Node<int>(new int(-1)));
    s->incContEvent();
    if (perguntou) {
        // The question may have stored it.
        marcaIncerto(s, s->getContEvent(), false);
    }
    std::cout << "AUTORIZADO... novo credito (na placa): " << s->getCredito() << std::endl;
    move(origem, n, listaDentro);
}

bool Catraca::registraEvento(Student* s, bool perguntado) {
    std::string erro;
    if (pendentes.registra(s->getUserID(), -1, &erro, perguntado)) {
        return true;
    }
    std::cout << "Entrada recusada: n\xE3o foi poss\xEDvel gravar o evento no "
                 "di\xE1rio ("
              << erro << ")" << std::endl;
    return false;
}

void Catraca::retiraEvento(Student* s, bool entregue) {
    std::string erro;
    if (!pendentes.retiraUltimo(s->getUserID(), &erro)) {
        std::cout << "Evento de cr\xE9"
                     "dito do usu\xE1rio "
                  << s->getUserID() << (entregue ? " confirmado pelo servidor" : " n\xE3o usado")
                  << ", mas n\xE3o apagado do di\xE1rio (" << erro << ")" << std::endl;
    }
}

bool Catraca::atualizaLista() {
    if (atualizaApos < 0 ||
        std::chrono::steady_clock::now() - ultimaCarga <= std::chrono::seconds(atualizaApos)) {
        return false;
    }
    std::cout << "Atualizando a lista de transa\xE7\xF5"
                 "es..."
              << std::endl;
    return recarrega({});
}

bool Catraca::recarrega(std::function<bool()> interrompe) {
    bool cortada = false;
    std::function<bool()> corta;
    if (interrompe) {
        corta = [&cortada, &interrompe] { return cortada = cortada || interrompe(); };
    }
    Carga carga = baixaTransacoes(servidor, reconcilia && incertos.empty() ? "" : cursor,
                                  {lista, listaDentro, listaAtualiza}, corta);
    std::string motivo = carga.motivo;
    if (carga.codigo != 200) {
        // A sync nobody asked for, cut short by a card or a stop, has nothing to report.
        if (cortada || (interrompe && console::paradaPedida())) {
            return false;
        }
        motivo =
            "c\xF3"
            "digo do erro " +
            std::to_string(carga.codigo);
    } else if (motivo.empty()) {
        // News of a user refused for good (rows after the cursor, or a new sum in a whole
        // roster) may have mended the refusal: the next update tries it again.
        std::vector<int> novidades;
        std::vector<int> vistos;
        for (const LeitorTransacoes::Usuario& u : carga.leitor->usuarios()) {
            if (incertos.count(u.user) > 0) {
                vistos.push_back(u.user);
            }
            auto r = recusas.find(u.user);
            if (r != recusas.end() && (carga.delta || u.soma != r->second.soma)) {
                novidades.push_back(u.user);
            }
        }
        motivo = atualizaAlunos(carga.leitor->usuarios(), carga.delta, *lista, *listaDentro,
                                *listaAtualiza);
        for (int u : motivo.empty() ? novidades : std::vector<int>()) {
            recusas[u].espera = std::chrono::milliseconds(0);
            recusas[u].ate = {};
        }
        for (int u : motivo.empty() ? vistos : std::vector<int>()) {
            incertos[u].viuLinhas = true;
        }
    }
    if (!motivo.empty()) {
        std::cout << "Lista de transa\xE7\xF5"
                     "es n\xE3o atualizada: "
                  << motivo << std::endl;
        return false;
    }
    cursor = carga.cursor;
    if (!carga.delta && incertos.empty()) {
        reconcilia = false;
    }
    ultimaCarga = std::chrono::steady_clock::now();
    // A user missing at start may have come in: its events left in the journal are its own.
    if (pendentes.comDiario() && orfaosNoDiario > 0) {
        recuperaDiario(false);
    }
    return true;
}

void Catraca::marcaIncerto(Student* s, unsigned int posicao, bool viuLinhas) {
    Incerto& i = incertos[s->getUserID()];
    i.faltam = std::max(i.faltam, posicao);
    i.viuLinhas = i.viuLinhas || viuLinhas;
}

bool Catraca::sincroniaDevida() const {
    return sincronia.count() >= 0 &&
           std::chrono::steady_clock::now() - std::max(ultimaCarga, ultimaSincronia) >= sincronia;
}

int Catraca::getStatus() {
    return status;
}
std::string Catraca::getServerIP() {
    return serverIP;
}
int Catraca::getServerPort() {
    return serverPort;
}

unsigned int Catraca::atualizaservidor() {
    pendentes.apagaConfirmados();
    bool passageira = false;
    auto agora = std::chrono::steady_clock::now();
    Node<Student>* tmp = listaAtualiza->getHead();
    while (!passageira && tmp != nullptr) {
        Node<Student>* tmp2 = tmp;
        tmp = tmp->getNext();
        auto r = recusas.find(tmp2->getData()->getUserID());
        if (r != recusas.end() && agora < r->second.ate) {
            continue;
        }
        if (enviaEventos(tmp2->getData(), &passageira)) {
            move(listaAtualiza, tmp2, lista);
        }
    }
    if (!passageira) {
        upServerStudentCount(listaDentro->getContador());
    }
    return passageira ? 0 : 1;
}

void Catraca::upServerStudentCount(int contagem) {
    nlohmann::json corpo;
    corpo["v"] = contagem;
    RestClient::Response r = servidor.post("/contador", corpo.dump());
    if (r.code != 201) {
        std::cout << kContagemRecusada << std::endl;
    }
}

unsigned int Catraca::enviaPendentes() {
    servidor.ultimaTentativa();
    bool passageira = false;
    for (Node<Student>* n = listaAtualiza->getHead(); n != nullptr;) {
        Node<Student>* proximo = n->getNext();
        if (enviaEventos(n->getData(), &passageira)) {
            move(listaAtualiza, n, lista);
        }
        n = proximo;
    }
    for (Node<Student>* n = listaDentro->getHead(); n != nullptr; n = n->getNext()) {
        enviaEventos(n->getData(), &passageira);
    }
    pendentes.apagaConfirmados();
    return contaPendentes();
}

bool Catraca::tudoEntregue() {
    return contaPendentes() == 0 && pendentes.retidos() == 0;
}

unsigned int Catraca::contaPendentes() {
    unsigned int total = 0;
    for (List* l : {lista, listaDentro, listaAtualiza}) {
        for (Node<Student>* n = l == nullptr ? nullptr : l->getHead(); n != nullptr;
             n = n->getNext()) {
            total += n->getData()->getContEvent();
        }
    }
    return total;
}
