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
    if (!cabe(credito) || !cabe(credito + pendente)) {
        return false;
    }
    std::vector<Node<int>*> eventos;
    for (Node<int>* n = s->removeFristNode(); n != nullptr; n = s->removeFristNode()) {
        eventos.push_back(n);
    }
    size_t assentados = eventos.size() - std::min<size_t>(s->getContEvent(), eventos.size());
    for (size_t i = 0; i < assentados; ++i) {
        delete eventos[i]->getData();
        delete eventos[i];
    }
    // The first event into an empty queue sets the credit; the others add to it.
    s->insertEvent(new Node<int>(new int(static_cast<int>(credito))));
    for (size_t i = assentados; i < eventos.size(); ++i) {
        eventos[i]->setPrev(nullptr);
        eventos[i]->setNext(nullptr);
        s->insertEvent(eventos[i]);
    }
    return true;
}
