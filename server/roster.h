#ifndef RU_SERVER_ROSTER_H
#define RU_SERVER_ROSTER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ru {

// One credit transaction of one student: one element of the roster. A student's credit
// is the sum of the `event` values of all the transactions with its `userId`.
struct Transaction {
    std::string cardID;
    std::int32_t userId = 0;
    std::int32_t event = 0;
    std::string matricula;
    std::string salt;
    std::string passwordHash;
};

// A roster that cannot be imported. what() is one line that names the element at fault
// by its index in the array (counted from 0).
class RosterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a roster from `in`: a JSON array of objects, each with the string keys "cardID",
// "matricula", "salt", "n_password_hash" and the integer keys "user_id", "event" (other
// keys are ignored). Elements are parsed one at a time, so memory does not grow with the
// length of the array. Calls `onRow` for each element in array order, once that element
// is known to be valid; throws RosterError at the first fault: text that is not JSON, a
// top level that is not an array, an element that is not an object, a missing key, a
// value of the wrong type, an integer outside the signed 32-bit range, or an element that
// takes its student's running credit (the sum of that student's events so far, in array
// order) outside the signed 32-bit range. Exceptions thrown by `onRow` pass through.
// Returns the number of distinct students read.
std::size_t readRoster(std::istream& in, const std::function<void(const Transaction&)>& onRow);

// Appends the JSON object of one transaction to `out`, compact, with the six keys in the
// order "cardID", "user_id", "event", "matricula", "salt", "n_password_hash".
void appendTransactionJson(std::string& out, std::string_view cardID, std::int64_t userId,
                           std::int64_t event, std::string_view matricula, std::string_view salt,
                           std::string_view passwordHash);

}  // namespace ru

#endif
