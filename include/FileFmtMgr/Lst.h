#pragma once
// Lst<T>: the doubly linked list that crosses the library boundary. Nodes come from the COM task
// allocator, so a list filled by one module can be emptied and destroyed by another. A list of
// pointers does not own what its elements point to.
#include <FileFmtMgr/Api.h>
#include <FileFmtMgr/ComError.h>
#include <new>
#include <objbase.h>
#include <utility>
#include <winerror.h>

namespace ffm {

template <class T> class Lst {
  public:
    struct Node {
        T element;
        Node* next;
        Node* prev;
    };

    Lst() noexcept = default;
    Lst(const Lst& other) : Lst() { AppendCopyOf(other); }
    // The copy is built before the old nodes go, so assigning a list to itself keeps it intact.
    Lst& operator=(const Lst& other) {
        Lst copy(other);
        Swap(copy);
        return *this;
    }
    virtual ~Lst() { RemoveAll(); }

    long GetCount() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }
    Node* GetHead() const noexcept { return m_head; }
    Node* GetTail() const noexcept { return m_tail; }

    Node* AddHead(const T& e) { return Link(NewNode(e), nullptr, m_head); }
    Node* AddTail(const T& e) { return Link(NewNode(e), m_tail, nullptr); }
    Node* InsertBefore(Node* node, const T& e) { return Link(NewNode(e), node->prev, node); }
    Node* InsertAfter(Node* node, const T& e) { return Link(NewNode(e), node, node->next); }

    T RemoveAt(Node* node) {
        (node->prev ? node->prev->next : m_head) = node->next;
        (node->next ? node->next->prev : m_tail) = node->prev;
        --m_count;
        T e(std::move(node->element));
        FreeNode(node);
        return e;
    }
    T RemoveHead() { return RemoveAt(m_head); }
    T RemoveTail() { return RemoveAt(m_tail); }

    void RemoveAll() noexcept {
        for (Node* n = m_head; n;) {
            Node* next = n->next;
            FreeNode(n);
            n = next;
        }
        m_head = m_tail = nullptr;
        m_count = 0;
    }

    // Stable insertion sort: each element goes before the first one it compares below, so equal
    // elements keep their order. compare(a, b) returns <0, 0 or >0. Nodes are relinked, not
    // reallocated, so sorting cannot fail for lack of memory; if compare throws, the elements not
    // yet placed go back at the tail, so none is lost.
    template <class Compare> void Sort(Compare compare) {
        Node* pending = m_head;
        m_head = m_tail = nullptr;
        m_count = 0;
        while (pending) {
            Node* n = pending;
            Node* x = m_head;
            try {
                while (x && !(compare(n->element, x->element) < 0))
                    x = x->next;
            } catch (...) {
                while (pending) {
                    Node* next = pending->next;
                    Link(pending, m_tail, nullptr);
                    pending = next;
                }
                throw;
            }
            pending = pending->next;
            Link(n, x ? x->prev : m_tail, x);
        }
    }

    class Iterator {
      public:
        explicit Iterator(Node* n) noexcept : m_node(n) {}
        T& operator*() const noexcept { return m_node->element; }
        T* operator->() const noexcept { return &m_node->element; }
        Iterator& operator++() noexcept {
            m_node = m_node->next;
            return *this;
        }
        bool operator!=(const Iterator& o) const noexcept { return m_node != o.m_node; }
        bool operator==(const Iterator& o) const noexcept { return m_node == o.m_node; }

      private:
        Node* m_node;
    };
    Iterator begin() const noexcept { return Iterator(m_head); }
    Iterator end() const noexcept { return Iterator(nullptr); }

    void Swap(Lst& other) noexcept {
        std::swap(m_head, other.m_head);
        std::swap(m_tail, other.m_tail);
        std::swap(m_count, other.m_count);
    }

  private:
    static Node* NewNode(const T& e) {
        void* mem = TaskAlloc(sizeof(Node));
        if (!mem)
            throw ComError(E_OUTOFMEMORY);
        try {
            return new (mem) Node{e, nullptr, nullptr};
        } catch (...) {
            CoTaskMemFree(mem);
            throw;
        }
    }
    static void FreeNode(Node* n) noexcept {
        n->~Node();
        CoTaskMemFree(n);
    }
    Node* Link(Node* n, Node* prev, Node* next) noexcept {
        n->prev = prev;
        n->next = next;
        (prev ? prev->next : m_head) = n;
        (next ? next->prev : m_tail) = n;
        ++m_count;
        return n;
    }
    void AppendCopyOf(const Lst& other) {
        for (Node* n = other.m_head; n; n = n->next)
            AddTail(n->element);
    }

    Node* m_head = nullptr;
    Node* m_tail = nullptr;
    long m_count = 0;
};

} // namespace ffm
