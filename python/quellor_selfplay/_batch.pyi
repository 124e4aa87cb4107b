# The native core of quellor_selfplay.GameBatch; use GameBatch, which checks its arguments.
from typing import Any, Optional

ACTION_SLOTS: int
MOVE_CODES: int
PROMOTION_BASE: int
OBS_ROWS: int
OBS_COLS: int
FRAME_CHANNELS: int
HIDDEN_CHANNEL: int
PACKED_WORDS: int
MASK_BYTES: int
MAX_GAMES: int
RULES: tuple[str, ...]
OBSERVATIONS: tuple[str, ...]
ENDINGS: tuple[str, ...]

class Batch:
    def __new__(
        cls,
        n: int,
        rules: str,
        observation: str,
        dtype: str,
        max_plies: int,
        seed: int,
        threads: int,
        fens: Optional[Any],
        auto_reset: bool,
        outputs: tuple[Any, ...],
    ) -> Batch: ...
    @property
    def bytes_per_game(self) -> int: ...
    @property
    def threads(self) -> int: ...
    def step(self, actions: Any, exact_moves: bool, games: Any = None, /) -> None: ...
    def random_actions(self, out: Any, /) -> None: ...
    def play_random(self, steps: int, /) -> dict[str, int]: ...
    def reset(self, seed: Optional[int], games: Any, /) -> None: ...
    def packed_observation(self, out: Any, /) -> None: ...
    def write_observations(self) -> None: ...
    def clone(self, outputs: tuple[Any, ...], /) -> Batch: ...
    def legal_moves(self, i: int, /) -> list[int]: ...
    def fen(self, i: int, /) -> str: ...
    def planes(self, i: int, /) -> bytes: ...
