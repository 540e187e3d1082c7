#include "turnstile.h"

#include <nlohmann/json.hpp>

namespace turnstile {

std::string roster(const std::vector<Row>& rows) {
    nlohmann::json a = nlohmann::json::array();
    for (const Row& r : rows) {
        a.push_back({{"cardID", r.card},
                     {"user_id", r.user},
                     {"event", r.event},
                     {"matricula", "2026" + std::to_string(r.user)},
                     {"salt", "s4lt"},
                     {"n_password_hash", "0123abcd"}});
    }
    return a.dump();
}

Server::Server() {
    upload = [](const testsupport::RecordedRequest&) { return testsupport::Reply{201, "{}"}; };
    http.setHandler([this](const testsupport::RecordedRequest& r) {
        if (r.method == "GET" && r.target == "/transaction") {
            return testsupport::Reply{rosterStatus, rosterBody, "application/json"};
        }
        if (r.method == "POST" && r.target.rfind("/transaction/", 0) == 0) {
            return upload(r);
        }
        if (r.method == "POST" && r.target.rfind("/entrada/", 0) == 0 && entrada) {
            return entrada(r);
        }
        if (r.method == "POST" && r.target == "/contador") {
            return testsupport::Reply{contadorStatus, "{}", "application/json"};
        }
        return testsupport::Reply{404, "no such path"};
    });
}

std::vector<testsupport::RecordedRequest> Server::updates() const {
    std::vector<testsupport::RecordedRequest> all = http.requests();
    if (!all.empty() && all.front().method == "GET") {
        all.erase(all.begin());
    }
    return all;
}

const std::string kCard = "Digite o cart\xE3o\n";
const std::string kFound = "Pessoa encontrada\n";
const std::string kFoundUpdate = "Pessoa encontrada na lista atualiza\n";
const std::string kNotFound = "Pessoa n\xE3o encontrada\n";
const std::string kNoCredit = "Creditos insuficientes ou j\xE1 est\xE1 dentro do RU\n";
const std::string kCountRefused = "Nao foi possivel alterar a contagem no servidor\n";
const std::string kUpdated = "\nservidor atualizado\n";
const std::string kAlone = "Decidido na placa, sem o servidor\n";

std::string startup(const std::string& ip, const std::string& port) {
    return "Digite o ip do servidor\nDigite a porta\nConectando a " + ip + ":" + port +
           "\nInicializando...\n0\n";
}

std::string loadFailure(const std::string& ip, const std::string& port, int code) {
    return "Digite o ip do servidor\nDigite a porta\nConectando a " + ip + ":" + port +
           "\nerro na inicializacao! codigo do erro :" + std::to_string(code) + "\n";
}

std::string admitted(int credit) {
    return "AUTORIZADO... novo credito (na placa): " + std::to_string(credit) + "\n";
}

std::string exited(int credit) {
    return "Saida registrada\ncredito atual na placa: " + std::to_string(credit) + "\n";
}

std::string undelivered(int events) {
    return "N\xE3o foi poss\xEDvel enviar " + std::to_string(events) +
           (events == 1 ? " evento" : " eventos") +
           " de cr\xE9"
           "dito ao servidor.\n";
}

std::string refusedForGood(int user, int code) {
    return std::string("Evento de cr\xE9") + "dito do usu\xE1rio " + std::to_string(user) +
           " recusado pelo servidor: c\xF3" + "digo do erro " + std::to_string(code) + "\n";
}

namespace {

std::string lines(const std::vector<std::string>& users) {
    if (users.empty()) {
        return "EMPTY\n";
    }
    std::string s;
    for (const std::string& u : users) {
        s += u + "\n";
    }
    return s;
}

}  // namespace

std::string screen(const std::vector<std::string>& outside,
                   const std::vector<std::string>& awaiting,
                   const std::vector<std::string>& inside) {
    return std::string(100, '\n') + "\nStatus atual dos usuarios fora do RU\n" + lines(outside) +
           lines(awaiting) + "\ntem " + std::to_string(inside.size()) +
           " pessoas dentro do RU. pessoas dentro do RU:\n" + lines(inside) +
           "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";
}

std::string user(int id, int credit) {
    return "User " + std::to_string(id) + " Credito " + std::to_string(credit);
}

// Each screen is 101 line ends, the heading, the lists and the prompt.
std::string withoutScreens(std::string out) {
    const std::string heading = "Status atual dos usuarios fora do RU";
    const std::string prompt =
        "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";
    for (size_t at = out.find(heading); at != std::string::npos; at = out.find(heading)) {
        out.erase(at - 101, out.find(prompt, at) + prompt.size() - (at - 101));
    }
    return out;
}

std::string requestCodes(const std::vector<testsupport::ScriptedRequest>& requests) {
    std::string sent;
    for (const testsupport::ScriptedRequest& r : requests) {
        sent += sent.empty() ? "" : " ";
        if (r.method == "GET") {
            sent += "G";
        } else if (r.target == "/contador") {
            sent += "C" + r.body.substr(5, r.body.size() - 6);
        } else if (r.target.rfind("/entrada/", 0) == 0) {
            sent += "E" + r.target.substr(9);
        } else {
            sent += "U" + r.target.substr(13);
        }
    }
    return sent;
}

}  // namespace turnstile
