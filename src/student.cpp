#include "student.h"

#include "restclient/restclient.h"

Student::Student()
    : cardID(""),
      userID(0),
      credito(0),
      matricula(""),
      salt(""),
      password_hash(""),
      head(nullptr),
      tail(nullptr),
      contEvent(0) {}

Student::~Student() {
    // Stop at the tail: a node put into an empty queue keeps whatever `next` it came with.
    Node<int>* n = head;
    while (n != nullptr) {
        Node<int>* next = (n == tail) ? nullptr : n->getNext();
        delete n->getData();
        delete n;
        n = next;
    }
}

std::string Student::getCardID() {
    return cardID;
}
int Student::getUserID() {
    return userID;
}
int Student::getCredito() {
    return credito;
}
std::string Student::getPassword() {
    return password_hash;
}
std::string Student::getMatricula() {
    return matricula;
}
std::string Student::getSalt() {
    return salt;
}
void Student::setPassword(std::string s) {
    password_hash = s;
}
void Student::setMatricula(std::string s) {
    matricula = s;
}
void Student::setSalt(std::string s) {
    salt = s;
}
void Student::setCardID(std::string s) {
    cardID = s;
}
void Student::setUserId(int i) {
    userID = i;
}
void Student::setCredito(int i) {
    credito = i;
}
Node<int>* Student::getHead() {
    return head;
}
Node<int>* Student::getTail() {
    return tail;
}
unsigned int Student::getContEvent() {
    return contEvent;
}

void Student::insertEvent(Node<int>* n) {
    if (head == nullptr && tail == nullptr) {
        tail = n;
        head = n;
        credito = *n->getData();
        return;
    }
    tail->setNext(n);
    n->setPrev(tail);
    tail = n;
    n->setNext(nullptr);
    credito = credito + *n->getData();
}

Node<int>* Student::removeFristNode() {
    Node<int>* n = head;
    if (n == nullptr) {
        return nullptr;
    }
    if (n == tail) {
        tail = nullptr;
        head = nullptr;
    } else {
        Node<int>* q = n->getNext();
        q->setPrev(nullptr);
        head = q;
    }
    return n;
}

void Student::incContEvent() {
    contEvent = contEvent + 1;
}

unsigned int Student::atualizaEvents(std::string serverIP, unsigned int serverPort) {
    std::string endereco = serverIP + ":" + std::to_string(serverPort);
    return atualizaEvents([&endereco](const std::string& caminho, const std::string& corpo) {
        return RestClient::post(endereco + caminho, "application/json", corpo).code;
    });
}

unsigned int Student::atualizaEvents(const Envio& envia) {
    Node<int>* aux = tail;
    unsigned int c = 1;
    for (; c < contEvent; ++c) {
        aux = aux->getPrev();
    }
    while (contEvent != 0 && c != 0) {
        std::string caminho = "/transaction/" + std::to_string(userID);
        // Written as text, with the blank after the colon that the server expects.
        std::string body = "{\"event_id\": " + std::to_string(*aux->getData()) + "}";
        if (envia(caminho, body) == 201) {
            aux = aux->getNext();
            contEvent = contEvent - 1;
            c = 1;
        } else {
            c = 0;
        }
    }
    return c;
}
