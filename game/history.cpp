#include "history.hpp"

namespace quellor {

History::History(const History& other) {
    for (std::size_t i = 0; i < other.size_; ++i) slots_[i] = std::make_unique<Plane>(other[i]);
    size_ = other.size_;
}

History& History::operator=(const History& other) {
    if (this != &other) *this = History(other);
    return *this;
}

}  // namespace quellor
