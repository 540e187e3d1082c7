// The response header callback fed arbitrary header bytes, cut into lines as libcurl
// does and each line handed over in arbitrary (size, nmemb) shapes, held against a
// plain reading of the same lines: the same headers stored, every name and value
// trimmed, a Content-Length reservation only for a plain decimal of at most 1 GiB, and
// trim agreeing with ltrim after rtrim.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "restclient/helpers.h"
#include "restclient/restclient.h"

namespace {

[[noreturn]] void finding(const std::string& what) {
    std::fprintf(stderr, "header_callback: %s\n", what.c_str());
    std::abort();
}

bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string trimmed(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && space(s[b])) {
        ++b;
    }
    while (e > b && space(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

bool lowerEquals(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        if (c != b[i]) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

// The announced size a sound Content-Length value asks to reserve, or 0.
size_t announced(const std::string& value) {
    if (value.empty() || value.size() > 10) {
        return 0;
    }
    size_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + static_cast<size_t>(c - '0');
    }
    return n <= (size_t{1} << 30) ? n : 0;
}

void checkTrim(const std::string& s) {
    std::string a = s;
    std::string b = s;
    std::string c = s;
    RestClient::Helpers::trim(a);
    RestClient::Helpers::ltrim(RestClient::Helpers::rtrim(b));
    if (a != trimmed(s) || b != a) {
        finding("trim disagrees");
    }
    RestClient::Helpers::ltrim(c);
    RestClient::Helpers::rtrim(c);
    if (c != a) {
        finding("ltrim then rtrim disagrees");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte shapes the calls: how many bytes form one "size" unit.
    const size_t unidade = data[0] % 4 + 1;
    std::string texto(reinterpret_cast<const char*>(data) + 1, size - 1);

    RestClient::Response r;
    std::map<std::string, std::string> esperado;
    size_t maiorReserva = 0;
    size_t inicio = 0;
    while (inicio < texto.size()) {
        size_t fim = texto.find('\n', inicio);
        fim = fim == std::string::npos ? texto.size() : fim + 1;
        std::string linha = texto.substr(inicio, fim - inicio);
        inicio = fim;
        checkTrim(linha);

        // A line of whole units arrives as one call (unidade, n); otherwise its whole
        // units and its remainder arrive as two calls, as if libcurl had cut it, and
        // each counts as a line of its own. Either way the byte count is answered.
        size_t inteiros = linha.size() / unidade;
        size_t resto = linha.size() % unidade;
        std::string pedacos[2] = {linha.substr(0, inteiros * unidade),
                                  linha.substr(inteiros * unidade)};
        for (int i = 0; i < 2; ++i) {
            std::string& p = pedacos[i];
            size_t tamanho = i == 0 ? unidade : 1;
            size_t n = i == 0 ? inteiros : resto;
            if (n > 0 && RestClient::Helpers::header_callback(&p[0], tamanho, n, &r) != p.size()) {
                finding("byte count not returned");
            }
        }
        for (const std::string& p : pedacos) {
            if (p.empty()) {
                continue;
            }
            size_t colon = p.find(':');
            if (colon == std::string::npos) {
                std::string t = trimmed(p);
                if (!t.empty()) {
                    esperado[t] = "present";
                }
            } else {
                std::string k = trimmed(p.substr(0, colon));
                std::string v = trimmed(p.substr(colon + 1));
                if (lowerEquals(k, "content-length")) {
                    size_t n = announced(v);
                    if (n > maiorReserva) {
                        maiorReserva = n;
                    }
                }
                esperado[k] = v;
            }
        }
    }
    if (r.headers != esperado) {
        finding("stored headers differ from the lines");
    }
    for (const auto& [k, v] : r.headers) {
        if (k != trimmed(k) || v != trimmed(v)) {
            finding("untrimmed name or value");
        }
    }
    if (maiorReserva > 0 && r.body.capacity() < maiorReserva + RestClient::Helpers::kFolgaCorpo) {
        finding("announced body not reserved");
    }
    if (maiorReserva == 0 && r.body.capacity() > 64) {
        finding("reserved without a sound Content-Length");
    }
    return 0;
}
