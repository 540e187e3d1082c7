#include "catraca.h"

#include <cctype>
#include <iostream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "console.h"
#include "restclient/restclient.h"
#include "transacoes.h"

namespace {

const char* const kContagemRecusada = "Nao foi possivel alterar a contagem no servidor";

// Moves the student of `n`, a node of `de`, to the tail of `para` and frees the node.
void move(List* de, Node<Student>* n, List* para) {
    Node<Student>* solto = de->removeStudent(n);
    para->append(solto->getData());
    delete solto;
}

}  // namespace

// The lists inside and awaiting upload start null as well: the destructor frees
// whatever exists, and only a successful load creates them.
Catraca::Catraca()
    : serverIP(""),
      serverPort(0),
      lista(nullptr),
      listaDentro(nullptr),
      listaAtualiza(nullptr),
      status(0) {}

Catraca::~Catraca() {
    delete lista;
    delete listaDentro;
    delete listaAtualiza;
}

void Catraca::start() {
    std::cout << "Digite o ip do servidor" << std::endl;
    std::cin >> serverIP;
    std::cout << "Digite a porta" << std::endl;
    std::cin >> serverPort;
    std::string endereco = serverIP + ":" + std::to_string(serverPort);
    std::cout << "Conectando a " << endereco << std::endl;

    RestClient::Response r = RestClient::get(endereco + "/transaction");
    if (r.code != 200) {
        std::cout << "erro na inicializacao! codigo do erro :" << r.code << std::endl;
        status = -1;
        return;
    }
    std::cout << "Inicializando..." << std::endl;
    std::cout << 0 << std::endl;

    // Built aside and kept only when every row is sound: a rejected roster leaves
    // nothing half-loaded.
    List* nova = new List();
    std::string motivo = carregaTransacoes(r.body, *nova);
    if (!motivo.empty()) {
        delete nova;
        std::cout << "Lista de transa\xE7\xF5"
                     "es recusada: "
                  << motivo << std::endl;
        status = -1;
        return;
    }
    lista = nova;
    listaDentro = new List();
    listaAtualiza = new List();
    status = 1;
}

void Catraca::run() {
    std::string cartao = "";
    while (!console::paradaPedida()) {
        // The whole screen and its prompt leave in one flush, not one per line.
        std::cout << std::string(101, '\n') << "Status atual dos usuarios fora do RU\n";
        lista->print(std::cout);
        listaAtualiza->print(std::cout);
        std::cout << "\ntem " << listaDentro->getContador()
                  << " pessoas dentro do RU. pessoas dentro do RU:\n";
        listaDentro->print(std::cout);
        std::cout << "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: "
                  << std::flush;

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
        if (!(std::cin >> cartao)) {
            break;
        }
        // Bytes of 0x80 and above go to toupper as unsigned char: a negative char
        // is undefined there.
        for (char& ch : cartao) {
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }

        if (numero == 1) {
            List* origem = lista;
            Node<Student>* n = lista->find(cartao);
            if (n != nullptr) {
                std::cout << "Pessoa encontrada" << std::endl;
            } else {
                origem = listaAtualiza;
                n = listaAtualiza->find(cartao);
                if (n == nullptr) {
                    std::cout << "Pessoa n\xE3o encontrada" << std::endl;
                    continue;
                }
                std::cout << "Pessoa encontrada na lista atualiza" << std::endl;
            }
            Student* s = n->getData();
            if (s->getCredito() < 1) {
                std::cout << "Creditos insuficientes ou j\xE1 est\xE1 dentro do RU" << std::endl;
                continue;
            }
            s->insertEvent(new Node<int>(new int(-1)));
            s->incContEvent();
            std::cout << "AUTORIZADO... novo credito (na placa): " << s->getCredito() << std::endl;
            move(origem, n, listaDentro);
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
    Node<Student>* tmp = listaAtualiza->getHead();
    unsigned int aux = 1;
    while (aux != 0 && tmp != nullptr) {
        aux = tmp->getData()->atualizaEvents(serverIP, static_cast<unsigned int>(serverPort));
        if (aux != 0) {
            Node<Student>* tmp2 = tmp;
            tmp = tmp->getNext();
            move(listaAtualiza, tmp2, lista);
        }
    }
    if (aux != 0) {
        upServerStudentCount(listaDentro->getContador());
    }
    return aux;
}

void Catraca::upServerStudentCount(int contagem) {
    nlohmann::json corpo;
    corpo["v"] = contagem;
    RestClient::Response r =
        RestClient::post(serverIP + ":" + std::to_string(serverPort) + "/contador",
                         "application/json", corpo.dump());
    if (r.code != 201) {
        std::cout << kContagemRecusada << std::endl;
    }
}

unsigned int Catraca::enviaPendentes() {
    for (Node<Student>* n = listaAtualiza->getHead(); n != nullptr;) {
        Node<Student>* proximo = n->getNext();
        if (n->getData()->atualizaEvents(serverIP, static_cast<unsigned int>(serverPort)) != 0) {
            move(listaAtualiza, n, lista);
        }
        n = proximo;
    }
    for (Node<Student>* n = listaDentro->getHead(); n != nullptr; n = n->getNext()) {
        n->getData()->atualizaEvents(serverIP, static_cast<unsigned int>(serverPort));
    }
    return contaPendentes();
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
