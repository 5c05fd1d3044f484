// How many records of each integration window reached a unit's worker,
// followed on the host's side with the worker's own window arithmetic
// (window.hpp), so the two always agree on where a window ends. No Python.
//
// A worker scales a window's counts by a whole number (buffSize / n): a
// window that lost records reports counts that read low, and its stream
// record does not say so. The host routes every record, so it keeps, per
// closed window, the number of records that went in, until the window's
// stream record comes by to take it. Two windows of one unit can end at the
// same sequence (a late datagram sends the sequence back and restarts the
// window), so closed windows are kept in order and taken oldest first.
#pragma once
#include "window.hpp"

#include <cstdint>

namespace vt {

class UnitWindows {
public:
    static constexpr int KEEP = 8;  // closed windows remembered (their records are on their way)

    // A record with `sequence` goes to the worker now; buffSize 0 is a record
    // the worker refuses.
    void record(uint32_t sequence, uint32_t buffSize) noexcept {
        if (sequence == PREVSEQ_ || buffSize == 0) return;  // a duplicate the worker drops
        switch (window_step(sequence, PREVSEQ_, STARTSEQ_, buffSize)) {
            case WindowStep::restart:
                STARTSEQ_ = sequence;
                n_ = 0;
                break;
            case WindowStep::closes:
                if (n_ != 0) keep(window_end(STARTSEQ_, buffSize), n_);
                STARTSEQ_ = sequence;
                n_ = 0;
                break;
            case WindowStep::inside:
                break;
        }
        PREVSEQ_ = sequence;
        n_ += 1;
    }

    // Records the oldest closed window ending at `end` held; with `take` it is
    // removed. -1 when no such window is kept.
    int64_t received(uint32_t end, bool take) noexcept {
        for (int k = 0; k < count_; ++k) {
            Closed& c = ring_[(first_ + k) % KEEP];
            if (c.end != end) continue;
            const int64_t n = c.n;
            if (take) remove(k);
            return n;
        }
        return -1;
    }

    int kept() const noexcept { return count_; }

private:
    struct Closed {
        uint32_t end, n;
    };

    void keep(uint32_t end, uint32_t n) noexcept {
        if (count_ == KEEP) {  // the oldest falls out
            first_ = (first_ + 1) % KEEP;
            --count_;
        }
        ring_[(first_ + count_) % KEEP] = {end, n};
        ++count_;
    }

    void remove(int k) noexcept {
        for (int j = k; j + 1 < count_; ++j) {
            ring_[(first_ + j) % KEEP] = ring_[(first_ + j + 1) % KEEP];
        }
        --count_;
    }

    uint32_t STARTSEQ_ = 0, PREVSEQ_ = 0, n_ = 0;
    Closed ring_[KEEP] = {};
    int first_ = 0, count_ = 0;
};

}  // namespace vt
