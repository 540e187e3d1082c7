#ifndef CATRACA_TESTS_RESTCLIENT_NAMED_CASE_H
#define CATRACA_TESTS_RESTCLIENT_NAMED_CASE_H

#include <ostream>
#include <string>

namespace rawtest {

// Base of the rows of table-driven tests: the name shows in the test's name and in
// GoogleTest's output instead of a byte dump of the row.
struct NamedCase {
    const char* name;
};

inline std::ostream& operator<<(std::ostream& os, const NamedCase& c) {
    return os << c.name;
}

// Name generator for INSTANTIATE_TEST_SUITE_P.
struct CaseName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

}  // namespace rawtest

#endif
