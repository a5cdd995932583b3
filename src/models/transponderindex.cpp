#include "transponderindex.h"

namespace {

constexpr int initialBits = 4;

}  // namespace

void TransponderIndex::insert(qint32 id, int row) {
    if (2 * (m_size + 1) > int(m_slots.size()))
        grow();
    size_t slot = slotOf(id);
    while (m_slots[slot].row >= 0)
        slot = (slot + 1) & (m_slots.size() - 1);
    m_slots[slot] = {id, row};
    ++m_size;
}

void TransponderIndex::clear() {
    for (Slot &slot : m_slots)
        slot.row = -1;
    m_size = 0;
}

void TransponderIndex::grow() {
    const std::vector<Slot> old = std::move(m_slots);
    const int bits = old.empty() ? initialBits : 32 - m_shift + 1;
    m_slots.assign(size_t(1) << bits, Slot{0, -1});
    m_shift = 32 - bits;
    m_size = 0;
    for (const Slot &slot : old)
        if (slot.row >= 0)
            insert(slot.id, slot.row);
}
