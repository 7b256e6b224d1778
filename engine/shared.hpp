#pragma once

#include <atomic>
#include <cstdint>

// A 32-bit field that the mixer thread and the main thread both read and write
// without a lock. Every access is one whole relaxed atomic load or store, so code
// reads like plain field access (`osc.freq = f; double x = osc.freq;`) while each
// reader sees either the old or the new value. No order between fields is implied;
// the few places that need one use load()/store()/compareExchange() with an order.
template <typename T> class Shared {
    static_assert(sizeof(T) == 4, "shared fields are single 32-bit values");
    static_assert(std::atomic<T>::is_always_lock_free, "shared fields must be lock-free");

  public:
    Shared(T value = T{}) noexcept : value_(value) {}
    Shared(const Shared& other) noexcept : value_(other.load()) {}
    Shared& operator=(const Shared& other) noexcept { return *this = other.load(); }
    Shared& operator=(T value) noexcept {
        store(value);
        return *this;
    }
    operator T() const noexcept { return load(); }

    T load(std::memory_order order = std::memory_order_relaxed) const noexcept {
        return value_.load(order);
    }
    void store(T value, std::memory_order order = std::memory_order_relaxed) noexcept {
        value_.store(value, order);
    }
    // Replaces the value with `desired` only if it still holds the bits of `expected`;
    // on failure `expected` receives the value found.
    bool compareExchange(T& expected, T desired,
                         std::memory_order order = std::memory_order_acq_rel) noexcept {
        return value_.compare_exchange_strong(expected, desired, order, std::memory_order_acquire);
    }

  private:
    std::atomic<T> value_;
};
