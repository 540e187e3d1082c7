#include "atualizacao.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace {

// The value of the response header `nome`, whatever the case of its letters; "" when
// absent.
std::string cabecalho(const RestClient::HeaderFields& campos, const std::string& nome) {
    for (const auto& [chave, valor] : campos) {
        if (chave.size() == nome.size() &&
            std::equal(chave.begin(), chave.end(), nome.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return valor;
        }
    }
    return "";
}

// The sum of the pending events of `s`: the newest contEvent of its queue.
int64_t pendente(Student* s) {
    int64_t soma = 0;
    Node<int>* n = s->getTail();
    for (unsigned i = 0; i < s->getContEvent(); ++i, n = n->getPrev()) {
        soma += *n->getData();
    }
    return soma;
}

// Gives `s` one event holding `soma` followed by its own pending events, and, when
// `campos` is given, the texts of that user's first row.
void renova(Student* s, int soma, LeitorTransacoes::Usuario* campos) {
    std::vector<Node<int>*> eventos;
    for (Node<int>* n = s->removeFristNode(); n != nullptr; n = s->removeFristNode()) {
        eventos.push_back(n);
    }
    size_t pendentes = s->getContEvent();
    for (size_t i = 0; i + pendentes < eventos.size(); ++i) {
        delete eventos[i]->getData();
        delete eventos[i];
    }
    // The first event into an empty queue sets the credit; the others add to it.
    s->insertEvent(new Node<int>(new int(soma)));
    for (size_t i = eventos.size() - pendentes; i < eventos.size(); ++i) {
        eventos[i]->setPrev(nullptr);
        eventos[i]->setNext(nullptr);
        s->insertEvent(eventos[i]);
    }
    if (campos != nullptr) {
        s->setCardID(std::move(campos->cardID));
        s->setMatricula(std::move(campos->matricula));
        s->setSalt(std::move(campos->salt));
        s->setPassword(std::move(campos->hash));
    }
}

}  // namespace

bool cursorValido(const std::string& cursor) {
    if (cursor.empty() || cursor.size() > 255) {
        return false;
    }
    for (char c : cursor) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != ':' &&
            c != '-') {
            return false;
        }
    }
    return true;
}

Carga baixaTransacoes(Servidor& servidor, const std::string& cursor,
                      const std::vector<List*>& listas, std::function<bool()> interrompe) {
    Carga carga;
    std::unordered_map<int, int> somas;
    // Decided by the answer's header, which comes before the first byte of its body.
    auto prepara = [&](const RestClient::HeaderFields& campos) {
        carga.delta = !cursor.empty() && cabecalho(campos, "Roster-After") == cursor;
        if (carga.delta) {
            for (List* l : listas) {
                for (Node<Student>* n = l->getHead(); n != nullptr; n = n->getNext()) {
                    Student* s = n->getData();
                    somas[s->getUserID()] = *s->getHead()->getData();
                }
            }
        }
        carga.leitor = std::make_unique<LeitorTransacoes>(carga.delta ? &somas : nullptr);
    };
    RestClient::Response r = servidor.get(
        cursor.empty() ? "/transaction" : "/transaction?after=" + cursor,
        [&](const RestClient::Response& cabeca, const char* dados, size_t n) {
            // The body of any other answer is of no interest, as it always was.
            if (cabeca.code != 200) {
                return;
            }
            if (!carga.leitor) {
                prepara(cabeca.headers);
            }
            carga.leitor->le(dados, n);
        },
        std::move(interrompe));
    carga.codigo = r.code;
    if (r.code != 200) {
        carga.leitor.reset();
        return carga;
    }
    if (!carga.leitor) {
        prepara(r.headers);
    }
    carga.motivo = carga.leitor->termina();
    std::string oferecido = cabecalho(r.headers, "Roster-Cursor");
    carga.cursor = cursorValido(oferecido) ? oferecido : "";
    return carga;
}

std::string atualizaAlunos(std::vector<LeitorTransacoes::Usuario>& lidos, bool delta, List& lista,
                           List& listaDentro, List& listaAtualiza) {
    std::unordered_map<int, Student*> conhecidos;
    for (List* l : {&lista, &listaDentro, &listaAtualiza}) {
        for (Node<Student>* n = l->getHead(); n != nullptr; n = n->getNext()) {
            conhecidos[n->getData()->getUserID()] = n->getData();
        }
    }
    std::vector<Student*> deles(lidos.size(), nullptr);
    for (size_t i = 0; i < lidos.size(); ++i) {
        auto it = conhecidos.find(lidos[i].user);
        if (it == conhecidos.end()) {
            continue;
        }
        deles[i] = it->second;
        int64_t credito = lidos[i].soma + pendente(it->second);
        if (credito < INT_MIN || credito > INT_MAX) {
            std::string motivo =
                "o cr\xE9"
                "dito do usu\xE1rio " +
                std::to_string(lidos[i].user) + " sairia do intervalo de 32 bits";
            lidos.clear();
            return motivo;
        }
    }
    for (size_t i = 0; i < lidos.size(); ++i) {
        LeitorTransacoes::Usuario& u = lidos[i];
        if (deles[i] != nullptr) {
            renova(deles[i], u.soma, delta ? nullptr : &u);
            continue;
        }
        lista.append(LeitorTransacoes::aluno(u));
    }
    lidos.clear();
    return "";
}
