#include "admissao.h"

#include <algorithm>
#include <climits>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

bool cabe(long long v) {
    return v >= INT_MIN && v <= INT_MAX;
}

// The "credit" member of an answer's body, when it is an integer that fits an int.
bool leCredito(const std::string& corpo, int* credito) {
    nlohmann::json j = nlohmann::json::parse(corpo, nullptr, false);
    if (!j.is_object()) {
        return false;
    }
    auto c = j.find("credit");
    if (c == j.end() || !c->is_number_integer()) {
        return false;
    }
    if (c->is_number_unsigned() ? c->get<unsigned long long>() > INT_MAX
                                : !cabe(c->get<long long>())) {
        return false;
    }
    *credito = c->get<int>();
    return true;
}

}  // namespace

Veredito perguntaEntrada(Servidor& servidor, int userID, const std::string& chave) {
    RestClient::Response r =
        servidor.pergunta("/entrada/" + std::to_string(userID), "{\"event_id\": -1}",
                          chave.empty() ? nullptr : &chave);
    Veredito v;
    if (r.code != 201 && r.code != 409) {
        return v;
    }
    v.tipo = r.code == 201 ? Veredito::Admite : Veredito::Recusa;
    v.comCredito = leCredito(r.body, &v.credito);
    return v;
}

long long creditoAssentado(Student* s) {
    long long credito = s->getCredito();
    Node<int>* n = s->getTail();
    for (unsigned i = 0; i < s->getContEvent() && n != nullptr; ++i, n = n->getPrev()) {
        credito -= *n->getData();
    }
    return credito;
}

bool assumeCredito(Student* s, long long credito) {
    long long pendente = s->getCredito() - creditoAssentado(s);
    std::vector<Node<int>*> eventos;
    for (Node<int>* n = s->getHead(); n != nullptr; n = n->getNext()) {
        eventos.push_back(n);
    }
    size_t assentados = eventos.size() - std::min<size_t>(s->getContEvent(), eventos.size());
    // The first event holds the server's rows as of the last download, which the rows
    // after a cursor continue: it stays, and one event after it makes up the rest. The
    // next download brings what that event stands for and replaces it.
    long long base = assentados > 0 ? *eventos[0]->getData() : 0;
    if (!cabe(credito) || !cabe(credito + pendente) || !cabe(credito - base)) {
        return false;
    }
    eventos.clear();
    for (Node<int>* n = s->removeFristNode(); n != nullptr; n = s->removeFristNode()) {
        eventos.push_back(n);
    }
    for (size_t i = 0; i < eventos.size(); ++i) {
        eventos[i]->setPrev(nullptr);
        eventos[i]->setNext(nullptr);
    }
    // The first event into an empty queue sets the credit; the others add to it.
    if (assentados > 0) {
        s->insertEvent(eventos[0]);
    }
    for (size_t i = 1; i < assentados; ++i) {
        delete eventos[i]->getData();
        delete eventos[i];
    }
    s->insertEvent(new Node<int>(new int(static_cast<int>(credito - base))));
    for (size_t i = assentados; i < eventos.size(); ++i) {
        s->insertEvent(eventos[i]);
    }
    return true;
}
