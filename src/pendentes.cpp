#include "pendentes.h"

#include <unordered_set>

Pendentes::Pendentes(Journal* j, bool n) : journal(j), numera(n) {}

bool Pendentes::registra(int userID, int valor, std::string* erro, bool perguntado) {
    int64_t numero = 0;
    if (journal != nullptr) {
        numero = journal->grava(userID, valor, erro, perguntado);
        if (numero == 0) {
            return false;
        }
    } else if (numera) {
        numero = ++ultimoNumero;
    } else {
        return true;
    }
    porUsuario[userID].push_back(numero);
    return true;
}

bool Pendentes::decideSozinho(std::string* erro) {
    return journal == nullptr || journal->decide(erro);
}

std::optional<int> Pendentes::descartaPergunta(std::string* erro) {
    return journal == nullptr ? std::nullopt : journal->descartaPergunta(erro);
}

void Pendentes::adota(const Journal::Evento& e) {
    porUsuario[e.userID].push_back(e.id);
}

int64_t Pendentes::primeiro(int userID) const {
    auto it = porUsuario.find(userID);
    return it == porUsuario.end() || it->second.empty() ? 0 : it->second.front();
}

bool Pendentes::confirma(int userID, std::string* erro) {
    auto it = porUsuario.find(userID);
    if (it == porUsuario.end() || it->second.empty()) {
        return true;
    }
    int64_t numero = it->second.front();
    it->second.pop_front();
    return apaga(numero, erro);
}

int64_t Pendentes::ultimo(int userID) const {
    auto it = porUsuario.find(userID);
    return it == porUsuario.end() || it->second.empty() ? 0 : it->second.back();
}

bool Pendentes::retiraUltimo(int userID, std::string* erro) {
    auto it = porUsuario.find(userID);
    if (it == porUsuario.end() || it->second.empty()) {
        return true;
    }
    int64_t numero = it->second.back();
    it->second.pop_back();
    return apaga(numero, erro);
}

bool Pendentes::apaga(int64_t numero, std::string* erro) {
    if (journal == nullptr) {
        return true;
    }
    // Behind one that already failed, a delete would only wait for the same lock:
    // this one waits its turn, so a held journal costs one wait per update, not one
    // per event.
    bool atras = !confirmados.empty();
    if (!atras && journal->apaga(numero, &motivo)) {
        return true;
    }
    confirmados.push_back(numero);
    *erro = atras ? "atr\xE1s de um anterior ainda n\xE3o apagado" : motivo;
    return false;
}

size_t Pendentes::apagaConfirmados() {
    while (!confirmados.empty() && journal->apaga(confirmados.front(), &motivo)) {
        confirmados.pop_front();
    }
    return confirmados.size();
}

std::vector<Journal::Evento> Pendentes::recuperaveis() {
    std::vector<Journal::Evento> livres;
    if (journal == nullptr) {
        return livres;
    }
    std::unordered_set<int64_t> tidos(confirmados.begin(), confirmados.end());
    for (const auto& [usuario, numeros] : porUsuario) {
        tidos.insert(numeros.begin(), numeros.end());
    }
    for (const Journal::Evento& e : journal->eventos()) {
        if (tidos.count(e.id) == 0) {
            livres.push_back(e);
        }
    }
    return livres;
}
