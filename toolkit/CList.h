// A singly linked list with a cursor, used for lists of CString256 (pieces
// of a parsed text, wildcard patterns). Elements come from a free list of
// their own, refilled 256 at a time.
#pragma once

#include "toolkit/FixedPool.h"

#include <cstddef>
#include <iterator>
#include <utility>

template <class T> struct elem;

// The element free list of elem<T>.
template <class T> FixedPool<sizeof(elem<T>), alignof(elem<T>)>& lfree();

template <class T> struct elem {
    T data;
    elem* next = nullptr;

    explicit elem(const T& value) : data(value) {}

    static void* operator new(std::size_t size) {
        if (size != sizeof(elem)) return ::operator new(size);
        return lfree<T>().allocate();
    }
    static void operator delete(void* p, std::size_t size) noexcept {
        if (size != sizeof(elem)) {
            ::operator delete(p);
            return;
        }
        lfree<T>().release(p);
    }
};

// Deliberately never destroyed, so that lists held by other static objects or
// by threads still running at exit stay valid.
template <class T> FixedPool<sizeof(elem<T>), alignof(elem<T>)>& lfree() {
    static auto* pool = new FixedPool<sizeof(elem<T>), alignof(elem<T>)>;
    return *pool;
}

template <class T> class CList {
public:
    CList() = default;
    CList(const CList& other) { copyFrom(other); }
    CList(CList&& other) noexcept { take(other); }
    ~CList() { clear(); }

    CList& operator=(const CList& other) {
        if (this != &other) {
            clear();
            copyFrom(other);
        }
        return *this;
    }
    CList& operator=(CList&& other) noexcept {
        if (this != &other) {
            clear();
            take(other);
        }
        return *this;
    }

    // Adds a copy of value at the tail and returns the stored copy.
    T& append(const T& value) {
        auto* e = new elem<T>(value);
        if (m_tail)
            m_tail->next = e;
        else
            m_head = e;
        m_tail = e;
        ++m_count;
        return e->data;
    }

    void clear() noexcept {
        elem<T>* e = m_head;
        while (e) {
            elem<T>* next = e->next;
            delete e;
            e = next;
        }
        m_head = m_tail = m_cursor = nullptr;
        m_count = 0;
    }

    int count() const { return m_count; }
    bool empty() const { return m_count == 0; }

    // Cursor iteration: first() starts over, next() moves on; null at the end.
    T* first() {
        m_cursor = m_head;
        return m_cursor ? &m_cursor->data : nullptr;
    }
    T* next() {
        if (m_cursor) m_cursor = m_cursor->next;
        return m_cursor ? &m_cursor->data : nullptr;
    }

    // The item at index (0-based), or null.
    const T* at(int index) const {
        if (index < 0) return nullptr;
        for (const elem<T>* e = m_head; e; e = e->next)
            if (index-- == 0) return &e->data;
        return nullptr;
    }

    const elem<T>* head() const { return m_head; }
    const elem<T>* tail() const { return m_tail; }

    // Range-for over the items, independent of the cursor.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() = default;
        explicit const_iterator(const elem<T>* e) : m_elem(e) {}
        reference operator*() const { return m_elem->data; }
        pointer operator->() const { return &m_elem->data; }
        const_iterator& operator++() {
            m_elem = m_elem->next;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            m_elem = m_elem->next;
            return before;
        }
        bool operator==(const const_iterator&) const = default;

    private:
        const elem<T>* m_elem = nullptr;
    };
    const_iterator begin() const { return const_iterator(m_head); }
    const_iterator end() const { return const_iterator(); }

private:
    void copyFrom(const CList& other) {
        for (const elem<T>* e = other.m_head; e; e = e->next)
            append(e->data);
    }
    void take(CList& other) noexcept {
        m_head = std::exchange(other.m_head, nullptr);
        m_tail = std::exchange(other.m_tail, nullptr);
        m_cursor = std::exchange(other.m_cursor, nullptr);
        m_count = std::exchange(other.m_count, 0);
    }

    elem<T>* m_head = nullptr;
    elem<T>* m_tail = nullptr;
    elem<T>* m_cursor = nullptr;
    int m_count = 0;
};
