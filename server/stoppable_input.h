#ifndef RU_SERVER_STOPPABLE_INPUT_H
#define RU_SERVER_STOPPABLE_INPUT_H

#include <streambuf>

namespace ru {

// A stream buffer over a file descriptor that a stop can interrupt while it waits for
// data, as a read from a pipe or a terminal that stays open would wait for ever. Before
// each read it waits until either `fd` or `stopFd` is readable; once `stopFd` is (it
// stays so), underflow throws ImportCancelled. A read error counts as the end of the
// input. Owns neither descriptor.
class StoppableInput : public std::streambuf {
  public:
    StoppableInput(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}

  protected:
    int_type underflow() override;

  private:
    int fd_;
    int stopFd_;
    char buffer_[64 * 1024];
};

}  // namespace ru

#endif
