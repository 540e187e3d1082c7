#include "atualizacao.h"

#include <unordered_map>
#include <vector>

namespace {

// Gives `antigo` the rows of `novo` followed by its own pending events; `novo` is
// left with an empty queue.
void renova(Student* antigo, Student* novo) {
    std::vector<Node<int>*> eventos;
    for (Node<int>* n = antigo->removeFristNode(); n != nullptr; n = antigo->removeFristNode()) {
        eventos.push_back(n);
    }
    size_t pendentes = antigo->getContEvent();
    for (size_t i = 0; i + pendentes < eventos.size(); ++i) {
        delete eventos[i]->getData();
        delete eventos[i];
    }
    // The first event into an empty queue sets the credit; the others add to it.
    for (Node<int>* n = novo->removeFristNode(); n != nullptr; n = novo->removeFristNode()) {
        n->setPrev(nullptr);
        n->setNext(nullptr);
        antigo->insertEvent(n);
    }
    for (size_t i = eventos.size() - pendentes; i < eventos.size(); ++i) {
        eventos[i]->setPrev(nullptr);
        eventos[i]->setNext(nullptr);
        antigo->insertEvent(eventos[i]);
    }
    antigo->setCardID(novo->getCardID());
    antigo->setMatricula(novo->getMatricula());
    antigo->setSalt(novo->getSalt());
    antigo->setPassword(novo->getPassword());
}

}  // namespace

void atualizaAlunos(List& nova, List& lista, List& listaDentro, List& listaAtualiza) {
    std::unordered_map<int, Student*> conhecidos;
    for (List* l : {&lista, &listaDentro, &listaAtualiza}) {
        for (Node<Student>* n = l->getHead(); n != nullptr; n = n->getNext()) {
            conhecidos[n->getData()->getUserID()] = n->getData();
        }
    }
    while (Node<Student>* n = nova.getHead()) {
        Student* novo = nova.removeStudent(n)->getData();
        delete n;
        auto it = conhecidos.find(novo->getUserID());
        if (it == conhecidos.end()) {
            lista.append(novo);
        } else {
            renova(it->second, novo);
            delete novo;
        }
    }
}
