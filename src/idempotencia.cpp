#include "idempotencia.h"

#include <random>

std::string novaIdentidadePlaca() {
    static const char kHex[] = "0123456789abcdef";
    std::random_device fonte;
    std::string placa;
    for (int i = 0; i < 4; ++i) {
        uint32_t bits = fonte();
        for (int j = 0; j < 8; ++j) {
            placa.push_back(kHex[bits & 0xF]);
            bits >>= 4;
        }
    }
    return placa;
}

std::string chaveIdempotencia(const std::string& placa, int64_t numero) {
    return placa + "-" + std::to_string(numero);
}
