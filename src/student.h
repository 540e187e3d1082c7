#ifndef CATRACA_STUDENT_H
#define CATRACA_STUDENT_H

#include <functional>
#include <string>

#include "nodo.h"

// One person who may use the restaurant, with a queue of credit events.
//
// Invariants:
// 1. `head` and `tail` are both null or both non-null; the queue runs from `head`
//    (oldest) to `tail` (newest), linked both ways.
// 2. `credito` equals the sum of the queued event values (setCredito and
//    removeFristNode are the two ways to break this, and only a merge uses the latter).
// 3. The newest `contEvent` events are those the server has not accepted yet; a
//    student loaded from the roster holds at least contEvent + 1 events.
//
// Ownership: the queue owns its nodes and their ints once they are inserted; a
// destroyed Student frees whatever is still queued. A Student is never copied.
class Student {
  public:
    // Empty record: no card, user 0, credit 0, empty queue, nothing pending.
    Student();
    ~Student();
    Student(const Student&) = delete;
    Student& operator=(const Student&) = delete;

    std::string getCardID();
    int getUserID();
    int getCredito();
    std::string getPassword();
    std::string getMatricula();
    std::string getSalt();
    void setPassword(std::string s);
    void setMatricula(std::string s);
    void setSalt(std::string s);
    void setCardID(std::string s);
    void setUserId(int i);
    void setCredito(int i);
    Node<int>* getHead();
    Node<int>* getTail();

    // Appends `n` (non-null, data pointing at a valid int) as the newest event and
    // takes ownership of it. The first event of an empty queue replaces the credit;
    // later ones are added to it. contEvent is left to the caller.
    void insertEvent(Node<int>* n);
    // Detaches the oldest event and hands it, with its int, to the caller; null when
    // the queue is empty. Credit and contEvent are left as they were. The returned
    // node keeps its old `next`.
    Node<int>* removeFristNode();
    // Counts one more of the newest events as pending upload.
    void incContEvent();
    unsigned int getContEvent();
    // Uploads the pending events, oldest first, one POST each to
    // <serverIP>:<serverPort>/transaction/<userID>, stopping at the first answer
    // other than 201. Each accepted event stops counting as pending; the queue and
    // the credit never change. Returns 1 when nothing is left pending, else 0.
    unsigned int atualizaEvents(std::string serverIP, unsigned int serverPort);
    // The same walk over a transport of the caller's: `envia` makes one event upload,
    // the POST of `corpo` to `caminho` ("/transaction/<userID>"), and returns its
    // status (or the client's failure code). Events go to it oldest first, each only
    // after the one before was answered 201.
    typedef std::function<int(const std::string& caminho, const std::string& corpo)> Envio;
    unsigned int atualizaEvents(const Envio& envia);

  private:
    std::string cardID;
    int userID;
    int credito;
    std::string matricula;
    std::string salt;
    std::string password_hash;
    Node<int>* head;
    Node<int>* tail;
    unsigned int contEvent;
};

#endif
