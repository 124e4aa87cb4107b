// A batch of games from the start position together with the output buffers it writes, for the
// engine tests that drive the batch core without Python.
#pragma once

#include <cstdint>
#include <vector>

#include "batch.hpp"

namespace test_helpers {

struct HeldBatch {
    std::vector<std::uint8_t> observation, mask, to_move, terminated, truncated;
    std::vector<float> rewards;
    std::vector<std::int64_t> plies, last_move;
    std::vector<std::int8_t> ending, result;
    quellor::batch::Batch batch;

    explicit HeldBatch(const quellor::batch::Config& c)
        : batch(c, {*chess::Board::from_str("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1")}, {},
                buffers(*this, c.n)) {}

    bool same_outputs(const HeldBatch& o) const {
        return observation == o.observation && mask == o.mask && to_move == o.to_move &&
               terminated == o.terminated && truncated == o.truncated && rewards == o.rewards && plies == o.plies &&
               last_move == o.last_move && ending == o.ending && result == o.result;
    }

private:
    // Sizes the buffers for n games; the batch writes them as it is built.
    static quellor::batch::Outputs buffers(HeldBatch& r, std::size_t n) {
        r.observation.assign(n * quellor::OBS_ROWS * quellor::OBS_COLS, 0);
        r.mask.assign(n * quellor::ACTION_COUNT, 0);
        r.to_move.assign(n, 0);
        r.terminated.assign(n, 0);
        r.truncated.assign(n, 0);
        r.rewards.assign(2 * n, 0.0f);
        r.plies.assign(n, 0);
        r.last_move.assign(n, 0);
        r.ending.assign(n, 0);
        r.result.assign(n, 0);
        return {r.observation.data(), r.mask.data(),  r.to_move.data(), r.rewards.data(), r.terminated.data(),
                r.truncated.data(),   r.plies.data(), r.last_move.data(), r.ending.data(), r.result.data()};
    }
};

}  // namespace test_helpers
