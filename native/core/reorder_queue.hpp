// Reorder buffer of whole datagrams: a binary min-heap keyed by (priority,
// datagram bytes). No Python here; the owner pointer is opaque to the heap.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vt {

struct QueuedDatagram {
    uint32_t priority;
    const unsigned char* data;  // stays valid while `owner` is held
    size_t size;
    void* owner;
};

// Unsigned bytewise order; a prefix sorts before the longer string.
inline int compare_bytes(const QueuedDatagram& a, const QueuedDatagram& b) noexcept {
    const size_t n = a.size < b.size ? a.size : b.size;
    if (n != 0) {
        if (int c = std::memcmp(a.data, b.data, n)) return c;
    }
    return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
}

// True when `a` comes out after `b`: the heap keeps the smallest key on top.
inline bool comes_later(const QueuedDatagram& a, const QueuedDatagram& b) noexcept {
    if (a.priority != b.priority) return a.priority > b.priority;
    return compare_bytes(a, b) > 0;
}

class ReorderQueue {
public:
    // Capacity 0 means unbounded: the queue never reports full.
    void reset(uint32_t capacity) noexcept { capacity_ = capacity; }
    bool full() const noexcept { return capacity_ != 0 && items_.size() >= capacity_; }
    size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }

    // May throw std::bad_alloc; the queue is unchanged then.
    void push(const QueuedDatagram& d) {
        items_.push_back(d);
        std::push_heap(items_.begin(), items_.end(), comes_later);
    }

    // The smallest item; the queue must not be empty.
    QueuedDatagram pop() noexcept {
        std::pop_heap(items_.begin(), items_.end(), comes_later);
        QueuedDatagram top = items_.back();
        items_.pop_back();
        return top;
    }

    // Hands every item's owner to `release` and empties the queue.
    template <class F>
    void clear(F release) noexcept {
        std::vector<QueuedDatagram> old;
        old.swap(items_);  // `release` may run code that touches the queue
        for (const QueuedDatagram& d : old) release(d.owner);
    }

private:
    std::vector<QueuedDatagram> items_;
    uint32_t capacity_ = 0;
};

}  // namespace vt
