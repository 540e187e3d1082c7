#ifndef CATRACA_TESTS_CONSOLE_H
#define CATRACA_TESTS_CONSOLE_H

#include <iostream>
#include <sstream>
#include <string>

namespace testsupport {

// Feeds std::cin from a string and collects std::cout for as long as it lives.
class ConsoleCapture {
  public:
    explicit ConsoleCapture(const std::string& input = "")
        : in_(input), oldIn_(std::cin.rdbuf(in_.rdbuf())), oldOut_(std::cout.rdbuf(out_.rdbuf())) {
        std::cin.clear();
    }
    ~ConsoleCapture() {
        std::cin.rdbuf(oldIn_);
        std::cout.rdbuf(oldOut_);
        std::cin.clear();
        std::cout.clear();
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string output() const { return out_.str(); }

  private:
    std::istringstream in_;
    std::ostringstream out_;
    std::streambuf* oldIn_;
    std::streambuf* oldOut_;
};

}  // namespace testsupport

#endif
