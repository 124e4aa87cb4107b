// The rolling history of fog-of-war planes a game keeps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quellor {

inline constexpr std::size_t PLANE_ROWS = 64;
inline constexpr std::size_t PLANE_CHANNELS = 13;
// Channels 0-5 hold the viewer's pieces, 6-11 the enemy's, and the last one the squares it
// cannot see.
inline constexpr std::size_t HIDDEN_CHANNEL = 12;
inline constexpr std::size_t PLANE_LEN = PLANE_ROWS * PLANE_CHANNELS;  // 832
inline constexpr std::size_t HISTORY_LEN = 8;

// 64 rows of 13 channels, row-major: element row * 13 + channel.
using Plane = std::array<float, PLANE_LEN>;

// A double-ended queue of at most HISTORY_LEN planes, oldest at the front. Each plane is one
// heap block; the queue is a ring of pointers to them, so dropping the front moves nothing.
// Once full, appending recycles the evicted front block instead of allocating a new one.
class History {
public:
    History() = default;
    History(const History& other);
    History& operator=(const History& other);
    History(History&&) noexcept = default;
    History& operator=(History&&) noexcept = default;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool full() const { return size_ == HISTORY_LEN; }

    // i = 0 is the oldest plane.
    const Plane& operator[](std::size_t i) const { return *slots_[(head_ + i) % HISTORY_LEN]; }
    const Plane& newest() const { return (*this)[size_ - 1]; }

    // Appends the plane that `fill(Plane&)` writes, evicting the front plane when HISTORY_LEN
    // are held; `fill` must write every element and must not throw. Once the queue is full the
    // evicted block is rewritten in place. Otherwise the one allocation happens before anything
    // changes, so a failure leaves the queue as it was.
    template <class Fill>
    void append(Fill&& fill) {
        if (full()) {
            fill(*slots_[head_]);
            head_ = static_cast<std::uint8_t>((head_ + 1) % HISTORY_LEN);
            return;
        }
        auto block = std::make_unique<Plane>();
        fill(*block);
        slots_[(head_ + size_) % HISTORY_LEN] = std::move(block);
        ++size_;
    }

private:
    std::array<std::unique_ptr<Plane>, HISTORY_LEN> slots_{};
    std::uint8_t head_ = 0;
    std::uint8_t size_ = 0;
};

}  // namespace quellor
