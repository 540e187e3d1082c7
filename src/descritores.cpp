#include "descritores.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool abreDescritoresPadrao() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is taken, and every lower one is open by now.
        int aberto = open("/dev/null", O_RDWR);
        if (aberto != fd) {
            if (aberto >= 0) {
                close(aberto);
            }
            return false;
        }
    }
    return true;
}
