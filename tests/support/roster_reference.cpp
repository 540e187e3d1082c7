#include "roster_reference.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>

#include "list.h"
#include "transacoes.h"

namespace rosterref {

namespace {

// The reason of a body that is not valid JSON, when the position is not known.
const std::string kAnyByte = "o corpo n\xE3o \xE9 JSON v\xE1lido (byte ?)";

using json = nlohmann::json;

// The byte a "not valid JSON (byte N)" reason names.
size_t byteOf(const std::string& reason) {
    size_t at = reason.rfind("(byte ");
    return at == std::string::npos ? SIZE_MAX : std::strtoull(reason.c_str() + at + 6, nullptr, 10);
}

const char* const kKeys[] = {"cardID", "user_id", "event", "matricula", "salt", "n_password_hash"};
const bool kText[] = {true, false, false, true, true, true};
// The bytes a load keeps of each text (longer ones match nothing): one more than the
// longest typed card, and 1025 of the others.
const size_t kKept[] = {257, 0, 0, 1025, 1025, 1025};

// Thrown from the callback to stop at the first refusal, as a streaming reader does.
struct Refusal {
    std::string reason;
};

class Reader {
  public:
    Outcome outcome;

    bool event(int depth, json::parse_event_t e, json& v) {
        using E = json::parse_event_t;
        if (depth == 0) {
            if (e == E::object_start || e == E::value) {
                refuse("o corpo n\xE3o \xE9 um array JSON");
            }
            return true;
        }
        if (depth == 1) {
            if (e == E::object_start) {
                ++element_;
                seen_ = 0;
                key_ = -1;
            } else if (e == E::array_start || e == E::value) {
                ++element_;
                refuse("elemento " + std::to_string(element_) + " n\xE3o \xE9 um objeto");
            } else if (e == E::object_end) {
                closeRow();
            }
            return true;
        }
        if (depth == 2) {
            if (e == E::key) {
                key_ = -1;
                for (int k = 0; k < 6; ++k) {
                    if (v.get<std::string>() == kKeys[k]) {
                        key_ = k;
                    }
                }
            } else if ((e == E::object_start || e == E::array_start) && key_ >= 0) {
                wrongType();
            } else if (e == E::value && key_ >= 0) {
                take(v);
            }
        }
        return true;
    }

  private:
    std::string prefix() const { return "elemento " + std::to_string(element_) + ": "; }
    [[noreturn]] void refuse(const std::string& reason) { throw Refusal{reason}; }
    [[noreturn]] void wrongType() {
        refuse(prefix() + "\"" + kKeys[key_] + "\" n\xE3o \xE9 " +
               (kText[key_] ? "um texto" : "um inteiro"));
    }

    void take(const json& v) {
        if (kText[key_]) {
            if (!v.is_string()) {
                wrongType();
            }
            text_[key_] = v.get<std::string>();
        } else {
            if (!v.is_number_integer()) {
                wrongType();
            }
            bool fits = v.is_number_unsigned()
                            ? v.get<uint64_t>() <= INT_MAX
                            : v.get<int64_t>() >= INT_MIN && v.get<int64_t>() <= INT_MAX;
            if (!fits) {
                refuse(prefix() + "\"" + kKeys[key_] + "\" fora do intervalo de 32 bits");
            }
            (key_ == 1 ? user_ : event_) = static_cast<int>(v.get<int64_t>());
        }
        seen_ |= 1u << key_;
    }

    void closeRow() {
        for (int k = 0; k < 6; ++k) {
            if ((seen_ & (1u << k)) == 0) {
                refuse("elemento " + std::to_string(element_) + " sem a chave \"" + kKeys[k] +
                       "\"");
            }
        }
        auto at = index_.find(user_);
        if (at != index_.end()) {
            Row& s = outcome.students[at->second];
            int64_t sum = static_cast<int64_t>(s.credit) + event_;
            if (sum < INT_MIN || sum > INT_MAX) {
                refuse(prefix() + "o cr\xE9" + "dito do usu\xE1rio " + std::to_string(user_) +
                       " sairia do intervalo de 32 bits");
            }
            s.credit = static_cast<int>(sum);
            s.events.push_back(event_);
            return;
        }
        Row s;
        s.user = user_;
        s.card = text_[0].substr(0, kKept[0]);
        s.matricula = text_[3].substr(0, kKept[3]);
        s.salt = text_[4].substr(0, kKept[4]);
        s.hash = text_[5].substr(0, kKept[5]);
        s.credit = event_;
        s.events.push_back(event_);
        index_[user_] = outcome.students.size();
        outcome.students.push_back(s);
    }

    long element_ = 0;
    unsigned seen_ = 0;
    int key_ = -1;
    std::string text_[6];
    int user_ = 0;
    int event_ = 0;
    std::map<int, size_t> index_;
};

}  // namespace

Outcome reference(const std::string& body) {
    Reader reader;
    // nlohmann-json ends its input at a NUL byte: here it is any other control byte,
    // which JSON holds neither between tokens nor unescaped in a string.
    std::string text = body;
    std::replace(text.begin(), text.end(), '\0', '\x01');
    try {
        json ignored = json::parse(text, [&](int depth, json::parse_event_t e, json& v) {
            return reader.event(depth, e, v);
        });
    } catch (const Refusal& r) {
        return Outcome{r.reason, {}};
    } catch (const json::parse_error& e) {
        return Outcome{"o corpo n\xE3o \xE9 JSON v\xE1lido (byte " + std::to_string(e.byte) + ")",
                       {}};
    } catch (const json::out_of_range&) {
        // A number too large for a double: the exception carries no position.
        return Outcome{kAnyByte, {}};
    }
    return reader.outcome;
}

Outcome load(const std::string& body, const std::vector<size_t>& pieces) {
    LeitorTransacoes reader;
    for (size_t at = 0, i = 0; at < body.size(); ++i) {
        size_t n = pieces.empty() ? body.size() : std::max<size_t>(1, pieces[i % pieces.size()]);
        n = std::min(n, body.size() - at);
        reader.le(body.data() + at, n);
        at += n;
    }
    Outcome out;
    out.reason = reader.termina();
    if (!out.reason.empty()) {
        return out;
    }
    List list;
    reader.entrega(list);
    for (Node<Student>* n = list.getHead(); n != nullptr; n = n->getNext()) {
        Student* s = n->getData();
        Row r;
        r.user = s->getUserID();
        r.card = s->getCardID();
        r.matricula = s->getMatricula();
        r.salt = s->getSalt();
        r.hash = s->getPassword();
        r.credit = s->getCredito();
        for (Node<int>* e = s->getHead(); e != nullptr;
             e = e == s->getTail() ? nullptr : e->getNext()) {
            r.events.push_back(*e->getData());
        }
        out.students.push_back(r);
    }
    return out;
}

std::string compare(const Outcome& expected, const Outcome& got) {
    const std::string stem = kAnyByte.substr(0, kAnyByte.size() - 2);
    if (expected.reason.compare(0, stem.size(), stem) == 0) {
        // The reference names the byte where its tokens went wrong; a reader that
        // checks byte by byte may see the fault earlier, never later.
        size_t limit = expected.reason == kAnyByte ? SIZE_MAX : byteOf(expected.reason);
        if (got.reason.compare(0, stem.size(), stem) != 0 || got.reason.back() != ')' ||
            byteOf(got.reason) > limit) {
            return "reason: expected \"" + expected.reason + "\", got \"" + got.reason + "\"";
        }
        return "";
    }
    if (expected.reason != got.reason) {
        return "reason: expected \"" + expected.reason + "\", got \"" + got.reason + "\"";
    }
    if (expected.students.size() != got.students.size()) {
        return "students: expected " + std::to_string(expected.students.size()) + ", got " +
               std::to_string(got.students.size());
    }
    for (size_t i = 0; i < got.students.size(); ++i) {
        const Row& e = expected.students[i];
        const Row& g = got.students[i];
        if (e.user != g.user || e.card != g.card || e.matricula != g.matricula ||
            e.salt != g.salt || e.hash != g.hash || e.credit != g.credit ||
            g.events != std::vector<int>{e.credit}) {
            return "student " + std::to_string(i + 1) + " (user " + std::to_string(e.user) +
                   ") differs";
        }
    }
    return "";
}

}  // namespace rosterref
