// A growable array of plain records on the C heap (malloc, realloc, free), for the stand-in
// device library: it must link against any C library with nothing of the C++ library's
// compiled code, so it cannot use std::vector. Growing reports a failed allocation instead
// of throwing; the array then stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <type_traits>

namespace qel {

template <class T>
class heap_array {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved with realloc");

public:
    heap_array() = default;
    heap_array(const heap_array &) = delete;
    heap_array &operator=(const heap_array &) = delete;
    heap_array(heap_array &&other) noexcept { take(other); }
    heap_array &operator=(heap_array &&other) noexcept
    {
        if (this != &other) {
            free(items_);
            take(other);
        }
        return *this;
    }
    ~heap_array() { free(items_); }

    // Makes room for at least n elements. False when memory runs out.
    bool reserve(size_t n)
    {
        if (n <= capacity_)
            return true;
        if (n > SIZE_MAX / sizeof(T))
            return false;
        void *grown = realloc(items_, n * sizeof(T));
        if (!grown)
            return false;
        items_ = static_cast<T *>(grown);
        capacity_ = n;
        return true;
    }
    // Sets the size to n; new elements are zero bytes.
    bool resize(size_t n)
    {
        if (n > capacity_ && !reserve(n > 2 * capacity_ ? n : 2 * capacity_))
            return false;
        if (n > size_)
            memset(static_cast<void *>(items_ + size_), 0, (n - size_) * sizeof(T));
        size_ = n;
        return true;
    }
    bool push_back(const T &item)
    {
        if (size_ == capacity_ && !reserve(capacity_ < 16 ? 16 : capacity_ * 2))
            return false;
        items_[size_++] = item;
        return true;
    }
    bool append(const T *items, size_t count)
    {
        if (count > SIZE_MAX - size_)
            return false;
        size_t wanted = size_ + count;
        if (wanted > capacity_ && !reserve(wanted > 2 * capacity_ ? wanted : 2 * capacity_))
            return false;
        if (count)
            memcpy(static_cast<void *>(items_ + size_), items, count * sizeof(T));
        size_ += count;
        return true;
    }
    void clear() { size_ = 0; }

    T *data() { return items_; }
    const T *data() const { return items_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](size_t i) { return items_[i]; }
    const T &operator[](size_t i) const { return items_[i]; }
    T &back() { return items_[size_ - 1]; }
    T *begin() { return items_; }
    T *end() { return items_ + size_; }
    const T *begin() const { return items_; }
    const T *end() const { return items_ + size_; }
    operator std::span<const T>() const { return {items_, size_}; }

private:
    void take(heap_array &other)
    {
        items_ = other.items_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.items_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }

    T *items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace qel
