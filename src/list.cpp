#include "list.h"

#include <algorithm>
#include <charconv>
#include <iostream>

List::List() : head(nullptr), tail(nullptr), contador(0) {}

List::~List() {
    Node<Student>* n = head;
    while (n != nullptr) {
        Node<Student>* next = n->getNext();
        delete n->getData();
        delete n;
        n = next;
    }
}

Node<Student>* List::find(std::string s) {
    Node<Student>* n = head;
    while (n != nullptr && n->getData()->getCardID() != s) {
        n = n->getNext();
    }
    return n;
}

void List::print() {
    print(std::cout);
    std::cout.flush();
}

void List::print(std::ostream& saida) {
    if (head == nullptr) {
        saida << "EMPTY\n";
        return;
    }
    // Formatted by hand into blocks: a stream's locale-aware number output and a
    // stream call per line cost more than the rest of a 20,000-line screen. The program
    // never sets a locale, so the digits are the same.
    char bloco[8192];
    char* fim = bloco;
    const char kUser[] = "User ";
    const char kCredito[] = " Credito ";
    for (Node<Student>* n = head; n != nullptr; n = n->getNext()) {
        if (bloco + sizeof bloco - fim < 64) {
            saida.write(bloco, fim - bloco);
            fim = bloco;
        }
        Student* s = n->getData();
        fim = std::copy(kUser, kUser + sizeof kUser - 1, fim);
        fim = std::to_chars(fim, fim + 12, s->getUserID()).ptr;
        fim = std::copy(kCredito, kCredito + sizeof kCredito - 1, fim);
        fim = std::to_chars(fim, fim + 12, s->getCredito()).ptr;
        *fim++ = '\n';
    }
    saida.write(bloco, fim - bloco);
}

void List::append(Student* data) {
    int user_id = data->getUserID();
    auto found = porUsuario.find(user_id);
    if (found != porUsuario.end()) {
        Student* m = found->second->getData();
        for (Node<int>* e = data->removeFristNode(); e != nullptr; e = data->removeFristNode()) {
            m->insertEvent(e);
        }
        delete data;
        return;
    }
    Node<Student>* n = new Node<Student>(data);
    if (head == nullptr) {
        head = n;
        tail = n;
    } else {
        n->setPrev(tail);
        tail->setNext(n);
        tail = n;
    }
    porUsuario.emplace(user_id, n);
    contador++;
}

int List::getContador() {
    return contador;
}
Node<Student>* List::getHead() {
    return head;
}
Node<Student>* List::getTail() {
    return tail;
}

Node<Student>* List::removeStudent(Node<Student>* n) {
    if (n != tail && n != head) {
        Node<Student>* p = n->getPrev();
        Node<Student>* q = n->getNext();
        q->setPrev(p);
        p->setNext(q);
    } else if (n == head && n != tail) {
        Node<Student>* q = n->getNext();
        q->setPrev(nullptr);
        head = q;
    } else if (n == head && n == tail) {
        tail = nullptr;
        head = nullptr;
    } else {
        Node<Student>* p = n->getPrev();
        p->setNext(nullptr);
        tail = p;
    }
    porUsuario.erase(n->getData()->getUserID());
    contador--;
    return n;
}
