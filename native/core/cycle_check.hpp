// Cycle check: records with one sequence number form a cycle, and each cycle
// must cover the same channel units as the one before. The channel sets are
// private to the broker, so they live here as bitsets over the 65536 possible
// (mcuId, cuId) pairs instead of host sets. No Python here.
#pragma once
#include <bitset>
#include <cstdint>
#include <vector>

namespace vt {

inline uint16_t pair_key(uint8_t mcuId, uint8_t cuId) noexcept {
    return static_cast<uint16_t>(mcuId << 8 | cuId);
}

class PairSet {
public:
    // May throw std::bad_alloc; the set is unchanged then.
    void insert(uint16_t key) {
        if (bits_[key]) return;
        members_.push_back(key);
        bits_.set(key);
    }
    void clear() noexcept {
        for (uint16_t k : members_) bits_.reset(k);
        members_.clear();
    }
    bool contains(uint16_t key) const noexcept { return bits_[key]; }
    size_t size() const noexcept { return members_.size(); }
    bool same_members(const PairSet& o) const noexcept {
        if (members_.size() != o.members_.size()) return false;
        for (uint16_t k : members_) {
            if (!o.bits_[k]) return false;
        }
        return true;
    }

private:
    std::bitset<65536> bits_;
    std::vector<uint16_t> members_;  // for clearing and comparing in O(size)
};

class CycleCheck {
public:
    uint32_t MAXFAILS = 0;
    uint32_t fails = 0;
    uint32_t prevSequence = 0;

    const PairSet& synced() const noexcept { return sets_[current_]; }
    const PairSet& previous() const noexcept { return sets_[current_ ^ 1]; }

    // Both channel sets emptied; the counters are left to the caller.
    void clear_sets() noexcept {
        sets_[0].clear();
        sets_[1].clear();
    }

    // True: in step. False: the failures exceeded MAXFAILS, re-synchronise.
    // May throw std::bad_alloc (fields keep what was written before).
    bool check(uint32_t sequence, uint16_t key) {
        if (sequence == prevSequence) {
            sets_[current_].insert(key);
            return true;
        }
        if (sets_[current_].same_members(sets_[current_ ^ 1])) {
            set_new_sequence(sequence, key);
            return true;
        }
        ++fails;  // unsigned: wraps at 2^32 without ever exceeding the top threshold
        if (fails > MAXFAILS) {
            fails = 0;
            set_new_sequence(sequence, key);
            return false;
        }
        set_new_sequence(sequence, key);
        return true;
    }

    // The finished cycle becomes the previous one; this record opens the next.
    void set_new_sequence(uint32_t sequence, uint16_t key) {
        current_ ^= 1;  // old current set is now the previous one, unchanged
        sets_[current_].clear();
        sets_[current_].insert(key);
        prevSequence = sequence;
    }

private:
    PairSet sets_[2];
    int current_ = 0;
};

}  // namespace vt
