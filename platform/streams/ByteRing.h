// A fixed ring of bytes between a stream's client and libcurl, allocated
// once per transfer and never cleared: a small file touches only the pages
// it fills, not the whole ring.
#pragma once

#include "platform/MacTypes.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

namespace plat::streams {

class ByteRing {
public:
    void allocate(size_t capacity) {
        if (m_capacity == capacity) return;
        m_data = std::make_unique_for_overwrite<UInt8[]>(capacity);
        m_capacity = capacity;
        m_head = m_size = 0;
    }
    size_t capacity() const { return m_capacity; }
    size_t size() const { return m_size; }
    size_t space() const { return m_capacity - m_size; }

    size_t push(const UInt8* p, size_t n) {
        n = std::min(n, space());
        size_t tail = (m_head + m_size) % (m_capacity ? m_capacity : 1);
        size_t first = std::min(n, m_capacity - tail);
        if (first) std::memcpy(m_data.get() + tail, p, first);
        if (n > first) std::memcpy(m_data.get(), p + first, n - first);
        m_size += n;
        return n;
    }
    size_t pop(UInt8* p, size_t n) {
        n = std::min(n, m_size);
        size_t first = std::min(n, m_capacity - m_head);
        if (first) std::memcpy(p, m_data.get() + m_head, first);
        if (n > first) std::memcpy(p + first, m_data.get(), n - first);
        m_head = (m_head + n) % m_capacity;
        m_size -= n;
        if (m_size == 0) m_head = 0;
        return n;
    }
    // Keeps the contents; only for a chunk larger than the whole ring.
    void grow(size_t capacity) {
        auto data = std::make_unique_for_overwrite<UInt8[]>(capacity);
        const size_t n = m_size;
        pop(data.get(), n);
        m_data = std::move(data);
        m_capacity = capacity;
        m_head = 0;
        m_size = n;
    }

private:
    std::unique_ptr<UInt8[]> m_data;
    size_t m_capacity = 0, m_head = 0, m_size = 0;
};

} // namespace plat::streams
