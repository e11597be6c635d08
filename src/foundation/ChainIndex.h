#pragma once
// Positions grouped by key, each group kept in the order its positions were added: one flat
// open-addressing table and one link per position, so building an index of n positions costs
// two allocations however many keys there are. The keys are views; what they point to must stay
// unchanged while the index is used.
#include <cstddef>
#include <vector>

namespace ffm {

// Hash(key) -> std::size_t and Equal(key, key) -> bool must agree: equal keys hash alike.
template <class Key, class Hash, class Equal> class ChainIndex {
  public:
    // positions: how many positions may be added (0 to positions - 1).
    explicit ChainIndex(std::size_t positions, Hash hash = Hash(), Equal equal = Equal())
        : m_slots(TableSize(positions)), m_next(positions, -1), m_hash(hash), m_equal(equal) {}

    void Add(const Key& key, long position) {
        const std::size_t hash = m_hash(key);
        Slot& slot = m_slots[Locate(key, hash)];
        if (slot.Free()) {
            slot.key = key;
            slot.hash = hash;
        }
        if (slot.tail >= 0)
            m_next[slot.tail] = position;
        else
            slot.head = position;
        slot.tail = position;
    }

    // The first position left for the key, taken out of its group; -1 when there is none.
    long Take(const Key& key) {
        Slot& slot = m_slots[Locate(key, m_hash(key))];
        const long position = slot.head;
        if (position < 0)
            return -1;
        slot.head = m_next[position];
        if (slot.head < 0)
            slot.tail = kEmptied;
        return position;
    }

    // Calls visit(position) for the key's positions in the order they were added.
    template <class Visit> void ForEach(const Key& key, Visit&& visit) const {
        for (long p = m_slots[Locate(key, m_hash(key))].head; p >= 0; p = m_next[p])
            visit(p);
    }

  private:
    static constexpr long kEmptied = -2; // all positions taken; the slot keeps its key

    struct Slot {
        Key key{};
        std::size_t hash = 0;
        long head = -1;
        long tail = -1;
        bool Free() const noexcept { return head == -1 && tail == -1; }
    };

    static std::size_t TableSize(std::size_t positions) {
        std::size_t size = 16;
        while (size < positions * 2)
            size *= 2;
        return size;
    }

    // The key's slot, or the free slot where it would go. The table is at most half full.
    std::size_t Locate(const Key& key, std::size_t hash) const {
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = m_slots[i];
            if (slot.Free() || (slot.hash == hash && m_equal(slot.key, key)))
                return i;
        }
    }

    std::vector<Slot> m_slots;
    std::vector<long> m_next;
    Hash m_hash;
    Equal m_equal;
};

} // namespace ffm
