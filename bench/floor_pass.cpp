// Floor of a turnstile pass (an entry, then an exit) at N students: the two screens
// that follow, each formatted into one buffer and written to standard output at once,
// with the event upload and the head-count between them as two plain libcurl
// requests on one kept-alive connection, PASSES times over. It waits for a byte on
// standard input before it starts and reads on to the end of its input afterwards, so
// that the caller can time the passes alone.
// With "fresh", each request gets a handle and a connection of its own, as the
// controller's one-shot requests do.
//
// Usage: floor_pass PORT STUDENTS PASSES [fresh]
#include <curl/curl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Student {
    int user;
    int credit;
};

void line(std::string& out, const Student& s) {
    char buf[64];
    std::memcpy(buf, "User ", 5);
    char* p = std::to_chars(buf + 5, buf + 17, s.user).ptr;
    std::memcpy(p, " Credito ", 9);
    p = std::to_chars(p + 9, p + 21, s.credit).ptr;
    *p++ = '\n';
    out.append(buf, static_cast<size_t>(p - buf));
}

void list(std::string& out, const std::vector<Student>& l) {
    if (l.empty()) {
        out += "EMPTY\n";
    }
    for (const Student& s : l) {
        line(out, s);
    }
}

std::string screen(const std::vector<Student>& outside, const std::vector<Student>& inside) {
    std::string out(101, '\n');
    out.reserve(32 * (outside.size() + inside.size()) + 512);
    out += "Status atual dos usuarios fora do RU\n";
    list(out, outside);
    out += "EMPTY\n\ntem " + std::to_string(inside.size()) +
           " pessoas dentro do RU. pessoas dentro do RU:\n";
    list(out, inside);
    out += "selecione 1 para a catraca de entrada ou 2 para a catraca de saida: ";
    return out;
}

void writeAll(const std::string& s) {
    for (size_t done = 0; done < s.size();) {
        ssize_t n = write(STDOUT_FILENO, s.data() + done, s.size() - done);
        if (n <= 0) {
            std::exit(3);
        }
        done += static_cast<size_t>(n);
    }
}

size_t discard(char*, size_t size, size_t n, void*) {
    return size * n;
}

void post(CURL* shared, const std::string& url, const std::string& body) {
    CURL* h = shared != nullptr ? shared : curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    long code = 0;
    if (curl_easy_perform(h) != CURLE_OK ||
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code != 201) {
        std::exit(2);
    }
    curl_slist_free_all(headers);
    if (shared == nullptr) {
        curl_easy_cleanup(h);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "fresh")) {
        std::fprintf(stderr, "usage: floor_pass PORT STUDENTS PASSES [fresh]\n");
        return 2;
    }
    const std::string base = std::string("127.0.0.1:") + argv[1];
    const int n = std::atoi(argv[2]);
    const int passes = std::atoi(argv[3]);
    std::vector<Student> others;
    for (int u = 1; u < n; ++u) {
        others.push_back({u, 20});
    }
    const Student last{n, 19};
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* h = argc == 5 ? nullptr : curl_easy_init();

    char go;
    if (read(STDIN_FILENO, &go, 1) != 1) {
        return 2;
    }
    for (int i = 0; i < passes; ++i) {
        writeAll(
            "Digite o cart\xE3o\nPessoa encontrada\nAUTORIZADO... novo credito (na placa): "
            "19\n" +
            screen(others, {last}));
        writeAll("Digite o cart\xE3o\nSaida registrada\ncredito atual na placa: 19\n");
        post(h, base + "/transaction/" + std::to_string(n), "{\"event_id\": -1}");
        post(h, base + "/contador", "{\"v\":0}");
        std::vector<Student> all = others;
        all.push_back(last);
        writeAll("\nservidor atualizado\n" + screen(all, {}));
    }
    // Waits, as the turnstile does, for what comes next.
    while (read(STDIN_FILENO, &go, 1) > 0) {
    }
    if (h != nullptr) {
        curl_easy_cleanup(h);
    }
    return 0;
}
