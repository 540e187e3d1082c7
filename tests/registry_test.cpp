// Student event queue and student list: linking in both directions, credit as the
// sum of events, merge by userID, search by card, unlinking and the printed bytes.
#include <gtest/gtest.h>

#include <deque>
#include <list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "list.h"
#include "student.h"
#include "support/console.h"

namespace {

Node<int>* event(int v) {
    return new Node<int>(new int(v));
}

Student* student(int userID, const std::string& card, std::vector<int> events) {
    Student* s = new Student();
    s->setUserId(userID);
    s->setCardID(card);
    for (int v : events) {
        s->insertEvent(event(v));
    }
    return s;
}

// The queue's values from head to tail, after checking that every link has its
// mirror and that the ends are null-terminated.
std::vector<int> queueOf(Student& s) {
    std::vector<int> values;
    if (s.getHead() == nullptr || s.getTail() == nullptr) {
        EXPECT_EQ(s.getHead(), s.getTail()) << "one end of the queue is null, the other not";
        return values;
    }
    EXPECT_EQ(s.getHead()->getPrev(), nullptr);
    EXPECT_EQ(s.getTail()->getNext(), nullptr);
    Node<int>* prev = nullptr;
    for (Node<int>* n = s.getHead(); n != nullptr; n = n->getNext()) {
        EXPECT_EQ(n->getPrev(), prev) << "broken prev link at position " << values.size();
        values.push_back(*n->getData());
        prev = n;
        if (values.size() > 100000) {
            ADD_FAILURE() << "queue does not end";
            break;
        }
    }
    EXPECT_EQ(prev, s.getTail());
    return values;
}

// The userIDs from head to tail, checking links both ways and the count.
std::vector<int> usersOf(List& l) {
    std::vector<int> users;
    if (l.getHead() == nullptr || l.getTail() == nullptr) {
        EXPECT_EQ(l.getHead(), l.getTail()) << "one end of the list is null, the other not";
        EXPECT_EQ(l.getContador(), 0);
        return users;
    }
    EXPECT_EQ(l.getHead()->getPrev(), nullptr);
    Node<Student>* prev = nullptr;
    for (Node<Student>* n = l.getHead(); n != nullptr; n = n->getNext()) {
        EXPECT_EQ(n->getPrev(), prev) << "broken prev link at position " << users.size();
        users.push_back(n->getData()->getUserID());
        prev = n;
        if (users.size() > 100000) {
            ADD_FAILURE() << "list does not end";
            break;
        }
    }
    EXPECT_EQ(prev, l.getTail());
    EXPECT_EQ(l.getContador(), static_cast<int>(users.size()));
    return users;
}

void freeDetached(Node<int>* n) {
    delete n->getData();
    delete n;
}

void freeDetached(Node<Student>* n) {
    delete n->getData();
    delete n;
}

std::string printed(List& l) {
    testsupport::ConsoleCapture console;
    l.print();
    return console.output();
}

TEST(StudentQueue, FirstEventReplacesCreditLaterEventsAdd) {
    Student s;
    s.setCredito(100);
    Node<int>* first = event(5);
    s.insertEvent(first);
    EXPECT_EQ(s.getCredito(), 5);
    Node<int>* second = event(-1);
    s.insertEvent(second);
    EXPECT_EQ(s.getCredito(), 4);
    EXPECT_EQ(s.getHead(), first);
    EXPECT_EQ(s.getTail(), second);
    EXPECT_EQ(queueOf(s), (std::vector<int>{5, -1}));
    EXPECT_EQ(s.getContEvent(), 0u) << "insertEvent must leave the pending count to the caller";
}

TEST(StudentQueue, RemoveFristNodeTakesOldestAndKeepsCredit) {
    struct Case {
        std::vector<int> events;
        std::vector<int> left;
    };
    for (const Case& c : {Case{{}, {}}, Case{{7}, {}}, Case{{3, 4, 5}, {4, 5}}}) {
        SCOPED_TRACE(testing::Message() << "queue of " << c.events.size());
        Student* s = student(1, "C", c.events);
        s->incContEvent();
        int credit = s->getCredito();
        Node<int>* oldHead = s->getHead();
        Node<int>* taken = s->removeFristNode();
        EXPECT_EQ(taken, oldHead);
        EXPECT_EQ(s->getCredito(), credit);
        EXPECT_EQ(s->getContEvent(), 1u);
        EXPECT_EQ(queueOf(*s), c.left);
        if (taken != nullptr) {
            EXPECT_EQ(*taken->getData(), c.events.front());
            EXPECT_EQ(taken->getPrev(), nullptr);
            EXPECT_EQ(taken->getNext(), s->getHead()) << "the taken node keeps its old next";
            freeDetached(taken);
        }
        delete s;
    }
}

// Random inserts and removals checked against a deque after every step.
TEST(StudentQueue, MatchesDequeModelUnderRandomOperations) {
    std::mt19937 rng(12345);
    Student s;
    std::deque<int> model;
    int credit = 0;
    for (int step = 0; step < 3000; ++step) {
        if (rng() % 3 != 0) {
            int v = static_cast<int>(rng() % 21) - 10;
            credit = model.empty() ? v : credit + v;
            model.push_back(v);
            s.insertEvent(event(v));
        } else {
            Node<int>* n = s.removeFristNode();
            if (model.empty()) {
                ASSERT_EQ(n, nullptr);
            } else {
                ASSERT_NE(n, nullptr);
                EXPECT_EQ(*n->getData(), model.front());
                model.pop_front();
                freeDetached(n);
            }
        }
        ASSERT_EQ(queueOf(s), std::vector<int>(model.begin(), model.end())) << "step " << step;
        ASSERT_EQ(s.getCredito(), credit) << "step " << step;
    }
}

TEST(StudentQueue, IncContEventCountsWithoutTouchingQueue) {
    Student* s = student(1, "C", {3});
    s->incContEvent();
    s->incContEvent();
    EXPECT_EQ(s->getContEvent(), 2u);
    EXPECT_EQ(s->getCredito(), 3);
    EXPECT_EQ(queueOf(*s), (std::vector<int>{3}));
    delete s;
}

TEST(StudentList, NewListIsEmpty) {
    List l;
    EXPECT_EQ(usersOf(l), std::vector<int>{});
    EXPECT_EQ(l.find(""), nullptr);
    EXPECT_EQ(printed(l), "EMPTY\n");
}

TEST(StudentList, AppendLinksAtTailInBothDirections) {
    List l;
    l.append(student(1, "A", {1}));
    EXPECT_EQ(l.getHead(), l.getTail());
    EXPECT_EQ(l.getHead()->getNext(), nullptr);
    l.append(student(2, "B", {1}));
    EXPECT_EQ(usersOf(l), (std::vector<int>{1, 2}));
    EXPECT_EQ(l.getTail()->getData()->getUserID(), 2);
}

// A duplicate userID at the head, in the middle and at the tail: its events move,
// in order, behind those of the student already there, and the list is unchanged.
TEST(StudentList, AppendMergesSameUserWherever) {
    for (int dup : {10, 20, 30}) {
        SCOPED_TRACE(testing::Message() << "duplicate of user " << dup);
        List l;
        l.append(student(10, "A", {4}));
        l.append(student(20, "B", {5}));
        l.append(student(30, "C", {6}));
        Node<Student>* target = l.getHead();
        while (target->getData()->getUserID() != dup) {
            target = target->getNext();
        }
        Student* present = target->getData();
        int before = present->getCredito();
        Student* arriving = student(dup, "OTHER", {2, -1, 7});
        arriving->incContEvent();
        l.append(arriving);  // frees `arriving`; ASan reports any later use
        EXPECT_EQ(usersOf(l), (std::vector<int>{10, 20, 30}));
        EXPECT_EQ(target->getData(), present);
        EXPECT_EQ(queueOf(*present), (std::vector<int>{before, 2, -1, 7}));
        EXPECT_EQ(present->getCredito(), before + 8);
        EXPECT_EQ(present->getCardID(), dup == 10 ? "A" : dup == 20 ? "B" : "C");
        EXPECT_EQ(present->getContEvent(), 0u);
    }
}

TEST(StudentList, MergeOfEmptyQueueChangesNothing) {
    List l;
    l.append(student(1, "A", {3}));
    l.append(student(1, "B", {}));
    EXPECT_EQ(usersOf(l), (std::vector<int>{1}));
    EXPECT_EQ(queueOf(*l.getHead()->getData()), (std::vector<int>{3}));
    EXPECT_EQ(l.getHead()->getData()->getCredito(), 3);
}

TEST(StudentList, FindIsExactAndReturnsFirstFromHead) {
    List l;
    l.append(student(1, "AB12", {1}));
    l.append(student(2, "CD34", {1}));
    l.append(student(3, "AB12", {1}));
    l.append(student(4, "ab12", {1}));
    struct Case {
        std::string card;
        int user;  // 0: not found
    };
    for (const Case& c : {Case{"AB12", 1}, Case{"CD34", 2}, Case{"ab12", 4}, Case{"Ab12", 0},
                          Case{"AB1", 0}, Case{"AB12 ", 0}, Case{"AB123", 0}, Case{"", 0}}) {
        SCOPED_TRACE("card '" + c.card + "'");
        Node<Student>* n = l.find(c.card);
        if (c.user == 0) {
            EXPECT_EQ(n, nullptr);
        } else {
            ASSERT_NE(n, nullptr);
            EXPECT_EQ(n->getData()->getUserID(), c.user);
        }
    }
}

TEST(StudentList, RemoveStudentInEveryPosition) {
    struct Case {
        int size;
        int position;
        std::vector<int> left;
    };
    for (const Case& c :
         {Case{1, 0, {}}, Case{3, 0, {2, 3}}, Case{3, 1, {1, 3}}, Case{3, 2, {1, 2}}}) {
        SCOPED_TRACE(testing::Message() << "position " << c.position << " of " << c.size);
        List l;
        for (int u = 1; u <= c.size; ++u) {
            l.append(student(u, "C" + std::to_string(u), {u}));
        }
        Node<Student>* n = l.getHead();
        for (int i = 0; i < c.position; ++i) {
            n = n->getNext();
        }
        Node<Student>* oldPrev = n->getPrev();
        Node<Student>* oldNext = n->getNext();
        Node<Student>* returned = l.removeStudent(n);
        EXPECT_EQ(returned, n);
        EXPECT_EQ(returned->getPrev(), oldPrev);
        EXPECT_EQ(returned->getNext(), oldNext);
        EXPECT_EQ(returned->getData()->getUserID(), c.position + 1);
        EXPECT_EQ(usersOf(l), c.left);
        // The student may now be appended again, as a move between lists does.
        l.append(returned->getData());
        delete returned;
        EXPECT_EQ(l.getContador(), c.size);
    }
}

TEST(StudentList, PrintWritesOneLinePerStudent) {
    List l;
    l.append(student(7, "A", {3}));
    EXPECT_EQ(printed(l), "User 7 Credito 3\n");
    l.append(student(12, "B", {0}));
    l.append(student(-4, "C", {-2}));
    EXPECT_EQ(printed(l), "User 7 Credito 3\nUser 12 Credito 0\nUser -4 Credito -2\n");
}

// Random appends (new and repeated users), finds and removals against a model.
TEST(StudentList, MatchesModelUnderRandomOperations) {
    std::mt19937 rng(777);
    List l;
    struct Entry {
        int user;
        std::string card;
    };
    std::list<Entry> model;
    std::map<int, int> credit;
    for (int step = 0; step < 3000; ++step) {
        unsigned op = rng() % 4;
        int user = static_cast<int>(rng() % 40) - 5;
        std::string card = "K" + std::to_string(rng() % 25);
        if (op <= 1) {
            int v = static_cast<int>(rng() % 7) - 2;
            bool present = false;
            for (const Entry& e : model) {
                present = present || e.user == user;
            }
            if (!present) {
                model.push_back({user, card});
                credit[user] = v;
            } else {
                credit[user] += v;
            }
            l.append(student(user, card, {v}));
        } else if (op == 2) {
            Node<Student>* n = l.find(card);
            auto it = model.begin();
            while (it != model.end() && it->card != card) {
                ++it;
            }
            if (it == model.end()) {
                ASSERT_EQ(n, nullptr) << "step " << step;
            } else {
                ASSERT_NE(n, nullptr) << "step " << step;
                ASSERT_EQ(n->getData()->getUserID(), it->user) << "step " << step;
            }
        } else if (!model.empty()) {
            size_t pos = rng() % model.size();
            Node<Student>* n = l.getHead();
            auto it = model.begin();
            for (size_t i = 0; i < pos; ++i) {
                n = n->getNext();
                ++it;
            }
            credit.erase(it->user);
            model.erase(it);
            freeDetached(l.removeStudent(n));
        }
        std::vector<int> expected;
        for (const Entry& e : model) {
            expected.push_back(e.user);
        }
        ASSERT_EQ(usersOf(l), expected) << "step " << step;
        for (Node<Student>* n = l.getHead(); n != nullptr; n = n->getNext()) {
            ASSERT_EQ(n->getData()->getCredito(), credit[n->getData()->getUserID()])
                << "step " << step;
        }
    }
}

}  // namespace
