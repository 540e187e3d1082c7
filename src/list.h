#ifndef CATRACA_LIST_H
#define CATRACA_LIST_H

#include <ostream>
#include <string>
#include <unordered_map>

#include "nodo.h"
#include "student.h"

// A doubly linked list of students, in the order they were appended.
//
// Invariants: `head` and `tail` are both null or both non-null; `contador` equals
// the number of nodes; no two students in one list share a `userID` (append merges
// them). `porUsuario` maps each linked student's userID to its node, so that append
// does not walk the list.
//
// Ownership: the list allocates one node per student it links in. removeStudent
// hands the unlinked node back to the caller, who frees it (the student in it is
// not freed). Destroying a list frees the nodes still linked and their students.
class List {
  public:
    List();
    ~List();
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    // First node from the head whose student's cardID equals `s` byte for byte;
    // null when none does.
    Node<Student>* find(std::string s);
    // Writes one line per student ("User <userID> Credito <credito>"), or "EMPTY",
    // to standard output, flushed.
    void print();
    // The same lines to `saida`, without flushing: a whole screen goes out at once.
    void print(std::ostream& saida);
    // Links `data` (non-null) at the tail. When a student with the same userID is
    // already linked, moves the events of `data` to it in order, deletes `data`,
    // and leaves the list as it was.
    void append(Student* data);
    int getContador();
    Node<Student>* getHead();
    Node<Student>* getTail();
    // Unlinks `n`, which must be a node of this list, and returns it with its old
    // links and its student; the caller frees the node.
    Node<Student>* removeStudent(Node<Student>* n);

  private:
    Node<Student>* head;
    Node<Student>* tail;
    int contador;
    std::unordered_map<int, Node<Student>*> porUsuario;
};

#endif
