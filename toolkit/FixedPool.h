// A free list of equal-sized slots for small objects that are made and
// dropped often (strings, list elements). Slots come from blocks of 256 and
// are never returned to the system; a lock makes it safe for worker threads.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>

template <std::size_t SlotSize, std::size_t SlotAlign> class FixedPool {
public:
    static constexpr std::size_t kSlotsPerBlock = 256;

    void* allocate() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_free) refill();
        Slot* slot = m_free;
        m_free = slot->next;
        return slot->bytes;
    }

    void release(void* p) noexcept {
        if (!p) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        Slot* slot = static_cast<Slot*>(p);
        slot->next = m_free;
        m_free = slot;
    }

    // Slots made so far (free or in use); for diagnostics and tests.
    std::size_t capacity() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blockCount * kSlotsPerBlock;
    }

private:
    union Slot {
        Slot* next;
        alignas(SlotAlign) unsigned char bytes[SlotSize];
    };
    // Blocks stay chained from m_blocks so that they remain reachable.
    struct Block {
        Block* previous;
        Slot cells[kSlotsPerBlock];
    };

    void refill() {
        Block* block = new Block;
        block->previous = m_blocks;
        m_blocks = block;
        ++m_blockCount;
        for (std::size_t i = kSlotsPerBlock; i-- > 0;) {
            block->cells[i].next = m_free;
            m_free = &block->cells[i];
        }
    }

    std::mutex m_mutex;
    Slot* m_free = nullptr;
    Block* m_blocks = nullptr;
    std::size_t m_blockCount = 0;
};
