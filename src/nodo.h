#ifndef CATRACA_NODO_H
#define CATRACA_NODO_H

// One link of a doubly linked chain: `next` leads towards the tail, `prev` towards
// the head. A node points at its data but never owns it; destroying a node clears
// its links and leaves the data alone.
template <class T>
class Node {
  public:
    // A node over `d`, with both links null.
    explicit Node(T* d) : next(nullptr), prev(nullptr), data(d) {}
    // A node whose data the caller sets at once with setData; null until then.
    Node() : next(nullptr), prev(nullptr), data(nullptr) {}
    ~Node() {
        next = nullptr;
        prev = nullptr;
    }

    Node<T>* getNext() { return next; }
    Node<T>* getPrev() { return prev; }
    T* getData() { return data; }
    void setNext(Node<T>* n) { next = n; }
    void setPrev(Node<T>* p) { prev = p; }
    void setData(T* d) { data = d; }

  private:
    Node<T>* next;
    Node<T>* prev;
    T* data;
};

#endif
