// Stands in for catraca behind the launcher: asks the two start-up questions as catraca
// does, shows the answers and its arguments, then echoes each word typed on its input.
// "sai N" ends it with status N, "sinal N" raises signal N, "dorme N" stops reading for N
// seconds (as catraca does in an upload); the end of its input and the stop signals end
// it with a line saying so.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>

namespace {

extern "C" void parada(int sinal) {
    char line[] = "parada 00\n";
    line[7] = static_cast<char>('0' + sinal / 10);
    line[8] = static_cast<char>('0' + sinal % 10);
    ssize_t ignorado = write(STDOUT_FILENO, line, sizeof line - 1);
    (void)ignorado;
    _exit(40 + sinal);
}

}  // namespace

int main(int argc, char** argv) {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(s, parada);
    }
    std::string ip, porta;
    std::cout << "Digite o ip do servidor" << std::endl;
    std::cin >> ip;
    std::cout << "Digite a porta" << std::endl;
    std::cin >> porta;
    std::cout << "resposta " << ip << " " << porta << "\nargumentos";
    for (int i = 1; i < argc; ++i) {
        std::cout << " [" << argv[i] << "]";
    }
    std::cout << std::endl;
    for (std::string palavra; std::cin >> palavra;) {
        if (palavra == "dorme" && std::cin >> palavra) {
            sleep(static_cast<unsigned>(std::stoi(palavra)));
        } else if (palavra == "sai" || palavra == "sinal") {
            int n = 0;
            std::cin >> n;
            if (palavra == "sai") {
                return n;
            }
            std::raise(n);
        } else {
            std::cout << "lido " << palavra << std::endl;
        }
    }
    std::cout << "fim da entrada" << std::endl;
    return 0;
}
