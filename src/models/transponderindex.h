#pragma once

#include <QtGlobal>
#include <vector>

// Transponder id -> row position for the live list, which only appends rows or is indexed again whole.
// Open addressing with linear probing in one flat array: a lookup reads one or two cache lines whatever the
// number of rows, where a node-based hash follows a pointer into a node of its own.
class TransponderIndex {
public:
    // The row of `id`, or -1 when the id is not in the index.
    int find(qint32 id) const {
        if (m_slots.empty())
            return -1;
        for (size_t slot = slotOf(id);; slot = (slot + 1) & (m_slots.size() - 1)) {
            const Slot &s = m_slots[slot];
            if (s.row < 0 || s.id == id)
                return s.row;
        }
    }
    // Adds `id` at `row` (row >= 0); the id must not be in the index yet.
    void insert(qint32 id, int row);
    // Empties the index and keeps its capacity.
    void clear();

private:
    struct Slot {
        qint32 id;
        qint32 row;  // -1: empty
    };

    // Fibonacci hashing: the top bits of the id times 2^32 / golden ratio spread neighbouring ids apart.
    size_t slotOf(qint32 id) const { return size_t((quint32(id) * 0x9E3779B1u) >> m_shift); }
    void grow();

    std::vector<Slot> m_slots;  // a power of two in size, at most half full
    int m_size = 0;
    int m_shift = 32;
};
