// The live batch: records of one timestamp concatenated in arrival order.
// Grows geometrically, so appending is amortised constant time per record,
// and keeps its capacity across flushes. No Python.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vt {

class ByteBatch {
public:
    ByteBatch() noexcept = default;
    ByteBatch(const ByteBatch&) = delete;
    ByteBatch& operator=(const ByteBatch&) = delete;
    ~ByteBatch() { std::free(data_); }

    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    // Empties the batch; a buffer far larger than what it held is given back,
    // so one burst does not keep its peak size for the hub's lifetime.
    void clear() noexcept {
        if (capacity_ > kKeep && size_ < capacity_ / 4) {
            std::free(data_);
            data_ = nullptr;
            capacity_ = 0;
        }
        size_ = 0;
    }

    // False (nothing changed) when the buffer cannot grow.
    bool append(const char* bytes, size_t n) noexcept {
        if (n > kLimit - size_) return false;
        if (size_ + n > capacity_ && !grow(size_ + n)) return false;
        if (n) std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        return true;
    }

    // Puts bytes in front of what the batch holds; false (nothing changed)
    // when the buffer cannot grow.
    bool prepend(const char* bytes, size_t n) noexcept {
        if (n > kLimit - size_) return false;
        if (size_ + n > capacity_ && !grow(size_ + n)) return false;
        if (size_) std::memmove(data_ + n, data_, size_);
        if (n) std::memcpy(data_, bytes, n);
        size_ += n;
        return true;
    }

    size_t capacity() const noexcept { return capacity_; }

private:
    // Capacity kept across flushes whatever the batch held.
    static constexpr size_t kKeep = size_t{1} << 20;
    // Bytes objects are limited to the signed size range.
    static constexpr size_t kLimit = static_cast<size_t>(PTRDIFF_MAX) / 2;

    bool grow(size_t need) noexcept {
        size_t cap = capacity_ ? capacity_ : 256;
        while (cap < need) cap = cap > kLimit / 2 ? kLimit : cap * 2;
        void* p = std::realloc(data_, cap);
        if (!p) return false;
        data_ = static_cast<char*>(p);
        capacity_ = cap;
        return true;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace vt
