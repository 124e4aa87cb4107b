"""Self-play data on disk: compact shards, the manifest that lists them, and torch datasets.

A run directory holds ``manifest.json`` and ``shards/shard-NNNNN.npz``. Each shard is a numpy
``.npz`` archive (deflated unless ``--no-compress``; read with ``allow_pickle=False``) holding a
row per decision, games whole and in order, rows of a game in ply order:

    frame     R x 13  int64    the mover's newest fog-of-war frame: word c is the bitboard of
                               channel c (bit r set: row r of the observation holds 1)
    castling  R       uint8    the mover's castling rights: bit 0 king side, bit 1 queen side
    mask      R x 544 uint8    the legal-action mask, bit-packed little-endian (slot s is bit
                               s % 8 of byte s // 8)
    action    R       int16    the chosen policy slot (0..4351, mirrored for Black)
    move      R       int16    the move played: from * 64 + to + 4096 * k (k: 0 none, 1 queen,
                               2 rook, 3 bishop, 4 knight), absolute squares
    logp      R       float32  the behaviour policy's log-probability of the chosen slot
    white     R       bool     the mover is White
    value     R       int8     the game's result from the mover's side: 1, -1 or 0
    game      R       int64    the game's index in the run
    ply       R       int32    the decision's ply within its game
    player    R       uint8    which player chose the move (the manifest's "players")

and a row per game: ``game_index``, ``game_plies``, ``game_result`` (White's: 1, -1, 0),
``game_ending`` (an index into ``ENDINGS``), ``game_white`` and ``game_black`` (players).

Only the newest frame is stored: the eight-frame observation is rebuilt from the earlier rows of
the same game, for either layout. ``own`` takes the mover's frames at plies p, p-2, ..., p-14,
``history`` (exactly `SelfPlayGame.encode()`) the frames at plies p, p-1, ..., p-7; the oldest
frame available stands in for the ones before it. A row costs 672 bytes in memory (a float32
observation alone takes 27,136), less on disk.

A shard is written under a temporary name and renamed, then entered in the manifest: a file
under a shard's name is whole, and the manifest names the shards that belong to the run.
"""

from __future__ import annotations

import hashlib
import io
import json
import math
import os
import re
import zipfile
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt
import torch
from torch.utils.data import Dataset, IterableDataset, get_worker_info

from quellor_selfplay import SUMMARY_FILE, _batch
from quellor_selfplay.batch import unpack_observation
from quellor_selfplay.codes import CASTLING_COLUMNS, ENDINGS, FRAME_CHANNELS, MASK_BYTES, NEWEST_FRAME, OBSERVATIONS, PACKED_WORDS, code_move
from quellor_selfplay.fileio import DataError, file_digest, interrupts_deferred, replacing, write_json

__all__ = [
    "ROW_FIELDS", "GAME_FIELDS", "MANIFEST", "SelfPlayData", "SelfPlayStream", "read_shard",
    "write_shard", "read_manifest", "shard_paths", "rebuild_packed", "ENDINGS", "game_table",
    "game_record", "summarize", "DataError", "manifest_shards", "shard_entry", "shard_is_whole", "check_entries",
    "RunWriter",
]

FORMAT = "quellor-selfplay-shards"
VERSION = 1
MANIFEST = "manifest.json"
SHARD_DIR = "shards"
FRAME_WORDS = FRAME_CHANNELS
# The schema of a shard's rows, of its game table and of the games a segment hands on, as the
# native segment writes them: name -> numpy dtype (and a row's shape, for the rows).
ROW_FIELDS: dict[str, tuple[Any, tuple[int, ...]]] = {
    name: (np.dtype(dtype), (width,) if width else ()) for name, dtype, width in _batch.ROW_SCHEMA}
GAME_FIELDS: dict[str, Any] = {name: np.dtype(dtype) for name, dtype, _ in _batch.GAME_SCHEMA}
CARRY_FIELDS: dict[str, Any] = {name: np.dtype(dtype) for name, dtype, _ in _batch.CARRY_SCHEMA}
ROW_BYTES = sum(np.dtype(t).itemsize * math.prod(s) for t, s in ROW_FIELDS.values())
Arrays = dict[str, npt.NDArray[Any]]
PathLike = Union[str, "os.PathLike[str]"]


# ---------------------------------------------------------------------------------------------
# Shards


def shard_name(index: int) -> str:
    return f"{SHARD_DIR}/shard-{index:05d}.npz"


def shard_games(games: int, size: int) -> list[range]:
    """The games of each shard of a run of `games` games, `size` to a shard."""
    return [range(start, min(start + size, games)) for start in range(0, games, size)]


def write_shard(arrays: Mapping[str, npt.NDArray[Any]], path: Path, compress: bool = True) -> int:
    """Writes a shard's arrays to `path` through a temporary file; returns the file's size."""
    missing = [k for k in (*ROW_FIELDS, *GAME_FIELDS) if k not in arrays]
    if missing:
        raise ValueError(f"a shard needs {', '.join(missing)}")
    path.parent.mkdir(parents=True, exist_ok=True)
    named: dict[str, Any] = dict(arrays)
    with replacing(path) as partial:
        with open(partial, "wb") as out:
            if compress:
                np.savez_compressed(out, **named)
            else:
                np.savez(out, **named)
    return path.stat().st_size


def shard_entry(path: Path, name: str, index: int, games: range, rows: int) -> dict[str, Any]:
    """The manifest's entry for the shard just written at `path`: where it is, what it holds,
    and its size and SHA-256, by which a reader knows the bytes are the ones written."""
    return {"index": index, "file": name, "first_game": games.start, "games": len(games), "rows": rows,
            "bytes": path.stat().st_size, "sha256": file_digest(path)}


def check_shard(arrays: Mapping[str, npt.NDArray[Any]], where: str) -> None:
    """DataError unless the arrays have the shard's fields, types and matching lengths, and
    every game's rows lie together, in ply order, from ply 0."""
    for key, (dtype, shape) in ROW_FIELDS.items():
        if key not in arrays:
            raise DataError(f"{where} has no {key!r} array")
        array = arrays[key]
        if array.dtype != dtype or array.shape[1:] != shape:
            raise DataError(f"{where}: {key!r} is {array.dtype} {array.shape}, expected {np.dtype(dtype)} "
                            f"(rows, {', '.join(map(str, shape))})".replace(", )", ")"))
    for key, dtype in GAME_FIELDS.items():
        if key not in arrays or arrays[key].dtype != dtype or arrays[key].ndim != 1:
            raise DataError(f"{where} has no valid {key!r} array")
    rows = {len(arrays[k]) for k in ROW_FIELDS}
    games = {len(arrays[k]) for k in GAME_FIELDS}
    if len(rows) != 1 or len(games) != 1:
        raise DataError(f"{where} has arrays of different lengths")
    plies = arrays["game_plies"].astype(np.int64)
    if plies.sum() != len(arrays["ply"]) or (plies < 0).any():
        raise DataError(f"{where}: its game table does not add up to its rows")
    expected_game = np.repeat(arrays["game_index"], plies)
    starts = np.repeat(np.cumsum(plies) - plies, plies)
    expected_ply = np.arange(len(expected_game)) - starts
    if not (np.array_equal(arrays["game"], expected_game) and np.array_equal(arrays["ply"], expected_ply)):
        raise DataError(f"{where}: its rows are not whole games in ply order")


def _reason(err: BaseException) -> str:
    """What an exception says, or its kind when it says nothing (an empty file's EOFError)."""
    text = str(err).strip()
    return f"{type(err).__name__}: {text}" if text else type(err).__name__


def _shard_bytes(path: PathLike, sha256: Optional[str]) -> bytes:
    """The bytes of the shard at `path`, checked against the SHA-256 its manifest gives, or
    without one against the zip's CRC-32s."""
    try:
        raw = Path(path).read_bytes()
    except FileNotFoundError:
        raise DataError(f"shard {path} does not exist") from None
    except OSError as err:
        raise DataError(f"shard {path} cannot be read: {_reason(err)}") from None
    if sha256 is None:
        _check_crcs(path, raw)
    elif hashlib.sha256(raw).hexdigest() != sha256:
        raise DataError(f"shard {path} is damaged: its SHA-256 is not the one the manifest gives")
    return raw


def _load_arrays(path: PathLike, raw: bytes, keys: Optional[Sequence[str]] = None) -> Arrays:
    """The arrays of a shard's bytes (only `keys`, when given); DataError for any that numpy,
    zipfile or zlib cannot read, each of which raises its own kinds for damaged bytes."""
    try:
        with np.load(io.BytesIO(raw), allow_pickle=False) as archive:
            if not isinstance(archive, np.lib.npyio.NpzFile):
                raise DataError(f"shard {path} is not an .npz archive")
            names = archive.files if keys is None else [k for k in keys if k in archive.files]
            arrays = {key: archive[key] for key in names}
    except DataError:
        raise
    except MemoryError:
        raise DataError(f"shard {path} cannot be read: an array's header claims more memory than there is") from None
    except Exception as err:
        raise DataError(f"shard {path} cannot be read: {_reason(err)}") from None
    return arrays


def _check_crcs(path: PathLike, raw: bytes) -> None:
    """DataError unless every member of the archive matches its CRC-32. numpy stops reading a
    member once it has the array's bytes, before zipfile would compare the CRC, and a flipped
    bit in a deflate stream can still decode: without a digest, this is the shard's only check."""
    try:
        with zipfile.ZipFile(io.BytesIO(raw)) as archive:
            bad = archive.testzip()
    except Exception as err:
        raise DataError(f"shard {path} cannot be read: {_reason(err)}") from None
    if bad is not None:
        raise DataError(f"shard {path} is damaged: {bad} does not match its CRC-32")


def read_shard(path: PathLike, sha256: Optional[str] = None) -> Arrays:
    """A shard's arrays, checked; DataError for a file that is not a whole shard, or whose bytes
    are not those of `sha256` (the digest its manifest lists; without one, those of the zip's
    CRC-32s)."""
    arrays = _load_arrays(path, _shard_bytes(path, sha256))
    check_shard(arrays, f"shard {path}")
    return arrays


# ---------------------------------------------------------------------------------------------
# The manifest


def new_manifest(run: Mapping[str, Any], players: Sequence[str]) -> dict[str, Any]:
    return {"format": FORMAT, "version": VERSION, "run": dict(run), "players": list(players),
            "shards": [], "complete": False}


def _read_json(directory: PathLike, name: str) -> Any:
    path = Path(directory) / name
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise DataError(f"{directory} holds no {name}: is it the --out of a play run?") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as err:
        raise DataError(f"{path} is not valid JSON: {err}") from None


def read_manifest(directory: PathLike) -> dict[str, Any]:
    """A run's manifest, its shard entries checked (see `check_entries`)."""
    path = Path(directory) / MANIFEST
    manifest = _read_json(directory, MANIFEST)
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise DataError(f"{path} is not a {FORMAT} manifest")
    if manifest.get("version") != VERSION:
        raise DataError(f"{path} has format version {manifest.get('version')!r}; this quellor reads {VERSION}")
    check_entries(directory, manifest.get("shards"))
    if not isinstance(manifest.get("run"), dict):
        raise DataError(f"{path} has no valid run settings")
    return manifest


# What an entry may hold besides its file and index, and of which type. Entries written before
# shards carried a digest have no sha256: their size is all a reader can check.
ENTRY_INTS = ("first_game", "games", "rows", "bytes")
SHA256_HEX = re.compile(r"[0-9a-f]{64}")


def check_entries(directory: PathLike, shards: Any) -> None:
    """DataError unless `shards` is a list of entries each naming a different shard file inside
    the run and a different index, with counts and a digest of the right kinds. Every reader of a
    run (the datasets, show, play --resume) comes through here, so each refuses the same."""
    path = Path(directory) / MANIFEST
    if not isinstance(shards, list) or not all(
        isinstance(s, dict) and isinstance(s.get("file"), str) and _is_int(s.get("index")) for s in shards
    ):
        raise DataError(f"{path} has no valid shard list")
    root = Path(directory).resolve()
    files: set[Path] = set()
    indices: set[int] = set()
    for entry in shards:
        where = (root / entry["file"]).resolve()
        if root not in where.parents:
            raise DataError(f"{path} names a shard outside the run: {entry['file']!r}")
        if where in files or entry["index"] in indices:
            raise DataError(f"{path} lists shard {entry['file']!r} (index {entry['index']}) twice")
        files.add(where)
        indices.add(entry["index"])
        bad = [key for key in ENTRY_INTS if key in entry and not (_is_int(entry[key]) and entry[key] >= 0)]
        if "sha256" in entry and not (isinstance(entry["sha256"], str) and SHA256_HEX.fullmatch(entry["sha256"])):
            bad.append("sha256")
        if bad:
            raise DataError(f"{path}: the entry of shard {entry['file']!r} has no valid {', '.join(bad)}")


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def manifest_shards(directory: PathLike) -> list[tuple[Path, dict[str, Any]]]:
    """The complete shards of a run in shard order: each one's path and manifest entry."""
    return _listed(directory, read_manifest(directory))


def _listed(directory: PathLike, manifest: Mapping[str, Any]) -> list[tuple[Path, dict[str, Any]]]:
    root = Path(directory).resolve()
    return [((root / entry["file"]).resolve(), entry) for entry in sorted(manifest["shards"], key=lambda s: s["index"])]


def shard_paths(directory: PathLike) -> list[Path]:
    """The complete shards of a run, in shard order."""
    return [path for path, _ in manifest_shards(directory)]


def shard_is_whole(path: Path, entry: Mapping[str, Any]) -> bool:
    """Whether the file at `path` holds the bytes its manifest entry describes: its SHA-256
    when the entry has one, else its size."""
    try:
        if path.stat().st_size != entry.get("bytes"):
            return False
        return "sha256" not in entry or file_digest(path) == entry["sha256"]
    except OSError:
        return False


# ---------------------------------------------------------------------------------------------
# Writing a run


class RunWriter:
    """Writes a run folder (play's format) a shard at a time, and owns its manifest.

    Each shard goes through a temporary file and is then entered in the manifest, with Ctrl-C
    and SIGTERM held back until both are written: however the writing stops, the folder holds
    whole shards and a manifest that names exactly those, from which `resume` goes on. Nothing is
    written before the first shard, so a run stopped before it leaves the folder as it was.

        writer = RunWriter.start(out, {"games": 8, "seed": 0}, ["random"])
        for index, games in enumerate(shard_games(8, 4)):
            writer.add(index, games, play_segment(table, [(g, 0, 0) for g in games], players, 4, seed))
        writer.finish()

    Files of an earlier run in the folder are the caller's to remove: a shard of the same index is
    replaced, any other is left where it is, unlisted.
    """

    def __init__(self, folder: PathLike, manifest: dict[str, Any], compress: bool = True) -> None:
        self.folder = Path(folder)
        self.manifest = manifest
        self.compress = compress

    @classmethod
    def start(cls, folder: PathLike, run: Mapping[str, Any], players: Sequence[str],
              compress: bool = True) -> RunWriter:
        """A new run: `run` the settings its manifest records, `players` the names its shards'
        player numbers stand for."""
        return cls(folder, new_manifest(run, players), compress)

    @classmethod
    def resume(cls, folder: PathLike, shards: int, compress: bool = True) -> RunWriter:
        """The run in `folder`, whose whole run holds `shards` shards, to finish: the shards its
        manifest names that are gone or damaged are left out of it, to be written again.
        DataError when the folder holds no readable manifest."""
        manifest = read_manifest(folder)
        manifest["shards"] = [entry for path, entry in _listed(folder, manifest) if shard_is_whole(path, entry)]
        manifest["complete"] = len(manifest["shards"]) == shards
        return cls(folder, manifest, compress)

    @property
    def run(self) -> dict[str, Any]:
        run: dict[str, Any] = self.manifest["run"]
        return run

    @property
    def shards(self) -> list[dict[str, Any]]:
        """The entries of the shards written so far, in index order."""
        shards: list[dict[str, Any]] = self.manifest["shards"]
        return shards

    @property
    def done(self) -> set[int]:
        return {entry["index"] for entry in self.shards}

    @property
    def games(self) -> int:
        return sum(entry["games"] for entry in self.shards)

    @property
    def complete(self) -> bool:
        return bool(self.manifest["complete"])

    def add(self, index: int, games: range, arrays: Mapping[str, npt.NDArray[Any]]) -> dict[str, Any]:
        """Writes shard `index`, which holds the games `games` of the run, and enters it in the
        manifest (in place of an earlier entry of that index); returns its entry."""
        if self.complete:
            raise ValueError("the run is complete: it takes no more shards")
        if not _is_int(index) or index < 0:
            raise ValueError(f"a shard's index is a whole number from 0, not {index!r}")
        if not isinstance(games, range) or games.step != 1 or games.start < 0:
            raise ValueError(f"a shard's games are a range of game numbers from 0, not {games!r}")
        if "game_index" in arrays and len(arrays["game_index"]) != len(games):
            raise ValueError(f"shard {index} holds {len(arrays['game_index'])} games, not the {len(games)} of {games}")
        name = shard_name(index)
        path = self.folder / name
        # A shard on disk is always one the manifest lists: a signal waits for both.
        with interrupts_deferred():
            write_shard(arrays, path, self.compress)
            entry = shard_entry(path, name, index, games, int(len(arrays["ply"])))
            self.manifest["shards"] = sorted([e for e in self.shards if e["index"] != index] + [entry],
                                             key=lambda e: e["index"])
            write_json(self.manifest, self.folder / MANIFEST)
        return entry

    def finish(self) -> None:
        """Marks the run complete: every shard it holds is written."""
        self.manifest["complete"] = True
        # A run of no shards has not made its folder yet.
        self.folder.mkdir(parents=True, exist_ok=True)
        write_json(self.manifest, self.folder / MANIFEST)


# ---------------------------------------------------------------------------------------------
# Reading a run back


def game_table(run: PathLike) -> dict[str, np.ndarray]:
    """The game rows of every complete shard of a run, in game order."""
    parts: dict[str, list[np.ndarray]] = {key: [] for key in GAME_FIELDS}
    for path, entry in manifest_shards(run):
        arrays = _load_arrays(path, _shard_bytes(path, entry.get("sha256")), list(GAME_FIELDS))
        for key, dtype in GAME_FIELDS.items():
            if key not in arrays or arrays[key].dtype != dtype or arrays[key].ndim != 1:
                raise DataError(f"shard {path} has no valid {key!r} array")
            parts[key].append(arrays[key])
        if len({len(arrays[key]) for key in GAME_FIELDS}) != 1:
            raise DataError(f"shard {path} has arrays of different lengths")
    table = {key: np.concatenate(v) if v else np.zeros(0, dtype) for (key, v), dtype in
             zip(parts.items(), GAME_FIELDS.values())}
    order = np.argsort(table["game_index"], kind="stable")
    return {key: value[order] for key, value in table.items()}


def game_record(run: PathLike, game: int) -> dict[str, Any]:
    """One game of a run: its moves (UCI), start position (None: the usual one), result
    ("1-0", "0-1", "1/2-1/2") and ending. DataError for a game the run does not hold.

    A run of an earlier version of the tool, without shards, holds its games in summary.json."""
    if not (Path(run) / MANIFEST).exists():
        return _summary_record(run, game)
    manifest = read_manifest(run)
    for path, entry in manifest_shards(run):
        first = entry.get("first_game", 0)
        if first <= game < first + entry.get("games", 0):
            shard = read_shard(path, entry.get("sha256"))
            rows = shard["game"] == game
            record: dict[str, Any] = {"moves": [code_move(int(c)).uci() for c in shard["move"][rows]],
                                      "start_fen": manifest["run"].get("start_fen"),
                                      "result": None, "ending": None}
            at = np.flatnonzero(shard["game_index"] == game)
            if len(at):
                result, ending = int(shard["game_result"][at[0]]), int(shard["game_ending"][at[0]])
                record["result"] = "1-0" if result > 0 else "0-1" if result < 0 else "1/2-1/2"
                record["ending"] = ENDINGS[ending] if 0 <= ending < len(ENDINGS) else None
            return record
    games = manifest["run"].get("games", 0)
    if 0 <= game < games:
        raise DataError(f"game {game} is in a shard this run has not finished: run it again with --resume")
    raise DataError(f"game {game} does not exist: the run has {games} games")


def _summary_record(run: PathLike, game: int) -> dict[str, Any]:
    path = Path(run) / SUMMARY_FILE
    summary = _read_json(run, SUMMARY_FILE)
    records = summary.get("game_records") if isinstance(summary, dict) else None
    if not isinstance(records, list):
        raise DataError(f"{path} has no game records")
    if game >= len(records):
        raise DataError(f"game {game} does not exist: the run has {len(records)} games")
    record = records[game]
    moves = record.get("moves") if isinstance(record, dict) else None
    start_fen = record.get("start_fen") if isinstance(record, dict) else None
    if not isinstance(moves, list) or not all(isinstance(m, str) for m in moves) or not (
        start_fen is None or isinstance(start_fen, str)
    ):
        raise DataError(f"{path}: the record of game {game} is malformed")
    result, ending = record.get("result"), record.get("ending")
    return {"moves": moves, "start_fen": start_fen, "result": result if isinstance(result, str) else None,
            "ending": ending if isinstance(ending, str) else None}


def summarize(table: Mapping[str, np.ndarray]) -> dict[str, Any]:
    """Counts over the games of a game table: plies, results and how the games ended."""
    plies = table["game_plies"].astype(np.int64)
    results = table["game_result"]
    count = len(plies)
    return {
        "games": count,
        "positions": int(plies.sum()),
        "plies": {
            "total": int(plies.sum()),
            "mean": round(float(plies.mean()), 2) if count else 0.0,
            "min": int(plies.min()) if count else 0,
            "max": int(plies.max()) if count else 0,
        },
        "results": {"white wins": int((results > 0).sum()), "black wins": int((results < 0).sum()),
                    "draws": int((results == 0).sum())},
        "endings": {ending: int((table["game_ending"] == i).sum()) for i, ending in enumerate(ENDINGS)},
    }


# ---------------------------------------------------------------------------------------------
# Observations from the newest frames


def rebuild_packed(frames: torch.Tensor, castling: torch.Tensor, ply: torch.Tensor,
                   rows: torch.Tensor, observation: str) -> torch.Tensor:
    """(k, 105) packed observations (as GameBatch.packed_observation gives them) of `rows`.

    `frames` (R, 13) and `castling` (R,) are every row of whole games in ply order and `ply`
    (R,) their plies, so that the row of ply q of the same game as row r is r - ply[r] + q.
    The batch module picks the frames by the rule its games use (see the module's notes):
    IndexError for a row that is not one of the R, ValueError for one whose ply reaches back
    past the first.
    """
    if frames.dim() != 2 or frames.shape[1] != FRAME_WORDS:
        raise ValueError(f"frames must be (R, {FRAME_WORDS}), got {tuple(frames.shape)}")
    picked = _plain(rows, torch.int64)
    packed = np.empty((len(picked), PACKED_WORDS), dtype=np.int64)
    _batch.rebuild_packed(_plain(frames, torch.int64), _plain(castling, torch.uint8), _plain(ply, torch.int32),
                          picked, observation, packed)
    return torch.from_numpy(packed)


def _plain(tensor: torch.Tensor, dtype: torch.dtype) -> npt.NDArray[Any]:
    """An integer tensor as a contiguous numpy array of `dtype`, copied only where it is not one
    already (the learner calls this on every minibatch, with its whole iteration's rows)."""
    if tensor.dtype != dtype or not tensor.is_contiguous() or tensor.device.type != "cpu":
        tensor = tensor.to("cpu", dtype).contiguous()
    return tensor.numpy()


def pack_masks(masks: torch.Tensor) -> npt.NDArray[np.uint8]:
    """(k, 544) uint8 little-endian bits from (k, 4352) bool masks: unpack_masks' inverse."""
    flat = masks.detach().contiguous().cpu()
    if flat.dtype != torch.bool:
        raise TypeError(f"masks must be bool, not {flat.dtype}")
    out = np.empty((len(flat), MASK_BYTES), dtype=np.uint8)
    _batch.pack_mask_bits(flat.numpy(), out)
    return out


def unpack_masks(bits: torch.Tensor) -> torch.Tensor:
    """(k, 4352) bool masks from (k, 544) uint8 little-endian bits."""
    shifts = torch.arange(8, dtype=torch.uint8)
    return ((bits[:, :, None] >> shifts) & 1).bool().reshape(len(bits), MASK_BYTES * 8)


# ---------------------------------------------------------------------------------------------
# Datasets


def _legacy_rows(path: Path) -> tuple[Arrays, dict[str, Any]]:
    """Rows of a selfplay.pt written by earlier versions of quellor-selfplay (full float32
    observations in encode()'s layout, no masks or probabilities), in the compact form."""
    try:
        data: Any = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as err:
        raise DataError(f"{path} cannot be read: {err}") from None
    keys = ("observations", "actions", "values", "game", "ply")
    if not isinstance(data, dict) or any(k not in data for k in keys):
        raise DataError(f"{path} is not a self-play data file")
    count = len(data["actions"])
    if any(len(data[k]) != count for k in keys):
        raise DataError(f"{path} has columns of different lengths")
    observations = data["observations"]
    newest = (observations[:, :, NEWEST_FRAME] == 1).numpy()  # R x 64 x 13
    # Bit r of word c is row r: pack the 64 rows of each channel little-endian into 8 bytes.
    frame = np.packbits(newest.transpose(0, 2, 1), axis=2, bitorder="little").view("<i8")[..., 0]
    flags = CASTLING_COLUMNS.start
    castling = ((observations[:, 0, flags] == 1).numpy().astype(np.uint8)
                | ((observations[:, 1, flags] == 1).numpy().astype(np.uint8) << 1))
    ply = data["ply"].numpy().astype(np.int32)
    white_first = np.ones(count, dtype=np.bool_)
    summary_path = path.with_name("summary.json")
    if summary_path.exists():
        try:
            records = json.loads(summary_path.read_text(encoding="utf-8")).get("game_records", [])
            black_starts = {r["game"] for r in records if (r.get("start_fen") or "").split()[1:2] == ["b"]}
            white_first = ~np.isin(data["game"].numpy(), list(black_starts))
        except (json.JSONDecodeError, UnicodeDecodeError, AttributeError, KeyError, TypeError):
            pass
    rows: Arrays = {
        "frame": np.ascontiguousarray(frame, dtype=np.int64),
        "castling": castling,
        "action": data["actions"].numpy().astype(np.int16),
        "value": data["values"].numpy().astype(np.int8),
        "game": data["game"].numpy().astype(np.int64),
        "ply": ply,
        "white": white_first == (ply % 2 == 0),
    }
    return rows, {"observation": "history", "legacy": True}


class SelfPlayData(Dataset[dict[str, torch.Tensor]]):
    """Every row of a run (a play or train output directory, shard files, or an old
    selfplay.pt), held compact in memory and decoded when read.

    ``data[i]`` is a dict of tensors: ``observation`` (64, 106) float32 (or `dtype`) in the
    `observation` layout ("own", "history", or None for the one the run played with), ``mask``
    (4352,) bool, ``action``, ``logp``, ``white``, ``value`` (float32), ``game``, ``ply``,
    ``player``. ``data[indices]`` (a list or tensor of row numbers) gives the same keys with a
    leading batch dimension, which is the fast way to read many rows:

        loader = DataLoader(data, batch_size=None,
                            sampler=BatchSampler(RandomSampler(data), 256, drop_last=False))

    An old selfplay.pt has no masks or log-probabilities: its rows have neither key.
    """

    def __init__(self, source: Union[PathLike, Sequence[Source]], observation: Optional[str] = None,
                 dtype: torch.dtype = torch.float32) -> None:
        parts: list[Arrays] = []
        modes: set[str] = set()
        self.legacy = False
        for path, sha256 in _checked_sources(source):
            if path.suffix == ".pt":
                rows, info = _legacy_rows(path)
                self.legacy = True
                modes.add(info["observation"])
            else:
                rows = read_shard(path, sha256)
                mode = _run_mode(path)
                if mode is not None:
                    modes.add(mode)
            parts.append(rows)
        if self.legacy and len(parts) > 1:
            raise DataError("an old selfplay.pt is read on its own, not with other files")
        if observation is None:
            if len(modes) > 1:
                raise DataError("the files were played with different observation layouts: "
                                "pass observation='own' or 'history'")
            observation = modes.pop() if modes else "own"
        if observation not in OBSERVATIONS:
            raise ValueError(f"unknown observation {observation!r} (expected 'own' or 'history')")
        self.observation = observation
        self.dtype = dtype
        keys = [k for k in ROW_FIELDS if all(k in part for part in parts)] if parts else list(ROW_FIELDS)
        self.arrays: dict[str, torch.Tensor] = {}
        for key in keys:
            dtype_, shape = ROW_FIELDS[key]
            joined = np.concatenate([part[key] for part in parts]) if parts else np.zeros((0, *shape), dtype_)
            self.arrays[key] = torch.from_numpy(np.ascontiguousarray(joined, dtype=dtype_))

    @staticmethod
    def _sources(source: Union[PathLike, Sequence[PathLike]]) -> list[Path]:
        return [path for path, _ in _checked_sources(source)]

    def __len__(self) -> int:
        return len(self.arrays["ply"])

    @property
    def bytes_per_row(self) -> int:
        return sum(t.element_size() * t[0].numel() for t in self.arrays.values()) if len(self) else ROW_BYTES

    def __getitem__(self, index: Any) -> dict[str, torch.Tensor]:
        single = isinstance(index, (int, np.integer)) or (isinstance(index, torch.Tensor) and index.ndim == 0)
        rows = torch.as_tensor([int(index)] if single else index, dtype=torch.int64).reshape(-1)
        if len(rows) and (int(rows.min()) < -len(self) or int(rows.max()) >= len(self)):
            raise IndexError(f"row index out of range for {len(self)} rows")
        rows = rows % max(len(self), 1)
        item = self.rows(rows)
        return {k: v[0] for k, v in item.items()} if single else item

    def rows(self, rows: torch.Tensor) -> dict[str, torch.Tensor]:
        a = self.arrays
        packed = rebuild_packed(a["frame"], a["castling"], a["ply"], rows, self.observation)
        item = {
            "observation": unpack_observation(packed, self.dtype),
            "action": a["action"][rows].long(),
            "value": a["value"][rows].float(),
            "white": a["white"][rows],
            "game": a["game"][rows],
            "ply": a["ply"][rows].long(),
        }
        if "mask" in a:
            item["mask"] = unpack_masks(a["mask"][rows])
        for key in ("logp", "player", "move"):
            if key in a:
                item[key] = a[key][rows] if key == "logp" else a[key][rows].long()
        return item


# A source given as a path and the SHA-256 its run's manifest lists for it: a run read through its
# manifest has each shard checked against its digest; shard files named one by one have their
# archive's own CRCs.
Source = Union[PathLike, tuple[PathLike, Optional[str]]]


def _checked_sources(source: Union[PathLike, Sequence[Source]]) -> list[tuple[Path, Optional[str]]]:
    if isinstance(source, (str, os.PathLike)):
        path = Path(source)
        if path.is_dir():
            if (path / MANIFEST).exists():
                return [(p, entry.get("sha256")) for p, entry in manifest_shards(path)]
            if (path / "selfplay.pt").exists():
                return [(path / "selfplay.pt", None)]
            raise DataError(f"{path} holds no {MANIFEST} and no selfplay.pt")
        return [(path, None)]
    return [(Path(p[0]), p[1]) if isinstance(p, tuple) else (Path(p), None) for p in source]


def _run_mode(shard: Path) -> Optional[str]:
    """The observation layout the run that holds `shard` played with, from its manifest."""
    manifest = shard.parent.parent / MANIFEST
    if not manifest.exists():
        return None
    try:
        mode = json.loads(manifest.read_text(encoding="utf-8")).get("run", {}).get("observation")
    except (json.JSONDecodeError, UnicodeDecodeError, AttributeError):
        return None
    return mode if mode in OBSERVATIONS else None


class SelfPlayStream(IterableDataset[dict[str, torch.Tensor]]):
    """The rows of a run read one shard at a time, for runs larger than memory.

    Yields batches of `batch_size` rows (dicts as `SelfPlayData` gives them; the last batch of a
    shard may be smaller), or single rows when `batch_size` is None. With `shuffle`, the shard
    order and the rows within each shard are permuted from `seed` and the epoch (`set_epoch`).
    Under a DataLoader with workers, each worker reads its own share of the shards.
    """

    def __init__(self, source: Union[PathLike, Sequence[PathLike]], observation: Optional[str] = None,
                 batch_size: Optional[int] = None, shuffle: bool = False, seed: int = 0,
                 dtype: torch.dtype = torch.float32) -> None:
        self.sources = _checked_sources(source)
        self.paths = [path for path, _ in self.sources]
        self.observation = observation
        self.batch_size = batch_size
        self.shuffle = shuffle
        self.seed = seed
        self.epoch = 0
        self.dtype = dtype

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        generator = torch.Generator().manual_seed(self.seed * 1_000_003 + self.epoch)
        order = torch.randperm(len(self.paths), generator=generator).tolist() if self.shuffle else range(len(self.paths))
        info = get_worker_info()
        ordered = [self.sources[i] for i in order]
        mine = ordered[info.id:: info.num_workers] if info else ordered
        for path, sha256 in mine:
            shard = SelfPlayData([(path, sha256)], self.observation or _run_mode(path), self.dtype)
            count = len(shard)
            rows = torch.randperm(count, generator=generator) if self.shuffle else torch.arange(count)
            if self.batch_size is None:
                for r in rows.tolist():
                    yield shard[r]
            else:
                for start in range(0, count, self.batch_size):
                    yield shard.rows(rows[start: start + self.batch_size])
