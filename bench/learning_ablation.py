"""What each training technique is worth: 20-minute `train` runs with and without it, scored
against the greedy bot (the run's own final 400-game evaluation) and, in 400 more games each,
against the bold bot and random play.

Each variant is the default command with one technique turned off; `baseline` turns all of them
off, which is the trainer as it was before them. A run takes `--minutes` of wall time on the
whole machine, so run this on an otherwise idle machine (the 2-core VM: about two hours for all
of them). Runs already in --out are reused, so it can be stopped and started again; --only picks
variants.

    learning_ablation.py --out runs/ablation [--minutes 20] [--only final,no-shaping]

Prints a Markdown table: iterations, positions, and each score with its 95 % interval.
"""

import argparse
import json
import subprocess
import sys
from pathlib import Path

from quellor_selfplay.config import GameConfig
from quellor_selfplay.match import play_match
from quellor_selfplay.players import load_player

VARIANTS = {
    "final": [],
    "no bold bot (greedy alone)": ["--bots", "greedy"],
    "no league bots": ["--bot-games", "0"],
    "no material shaping": ["--shaping", "0"],
    "no reach (2 plain blocks)": ["--no-reach", "--blocks", "2"],
    "learner on 1 thread": ["--threads", "1"],
    "baseline (none of them)": ["--bot-games", "0", "--shaping", "0", "--no-reach", "--blocks", "2", "--threads", "1"],
}
SLUGS = {name: name.split(" (")[0].replace(" ", "-") for name in VARIANTS}


def train(out: Path, minutes: float, extra: list[str]) -> None:
    if (out / "checkpoints/latest.pt").exists() and (out / "metrics.csv").exists():
        return
    command = [sys.executable, "-m", "quellor_selfplay", "train", "--rules", "dark", "--minutes", str(minutes),
               "--out", str(out), "--overwrite", "--no-progress", *extra]
    print("running", " ".join(command[2:]), file=sys.stderr, flush=True)
    with open(out.with_suffix(".log"), "w") as log:
        subprocess.run(command, check=True, stdout=log, stderr=subprocess.STDOUT)


def final_row(out: Path) -> dict[str, str]:
    import csv

    with open(out / "metrics.csv", newline="") as f:
        return list(csv.DictReader(f))[-1]


def scored(value: float, low: float, high: float) -> str:
    return f"{value:.3f} ({low:.2f}..{high:.2f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--minutes", type=float, default=20.0)
    parser.add_argument("--only", default="", help="comma-separated variant slugs: " + ", ".join(SLUGS.values()))
    parser.add_argument("--games", type=int, default=400)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    wanted = {s for s in args.only.split(",") if s} or set(SLUGS.values())
    game = GameConfig("dark", "own", 300)
    print("| variant | iterations | positions | vs greedy | vs bold | vs random |")
    print("|---|---:|---:|---|---|---|")
    for name, extra in VARIANTS.items():
        slug = SLUGS[name]
        if slug not in wanted:
            continue
        out = args.out / slug
        train(out, args.minutes, extra)
        row = final_row(out)
        net = load_player(str(out / "checkpoints/latest.pt"), "net")
        figures = {}
        for bot in ("bold", "random"):
            result = play_match(net, load_player(bot), args.games, game, 200, seed=1)
            figures[bot] = scored(result.score, *result.score_interval)
        greedy = scored(float(row["score_vs_greedy"]), float(row["score_vs_greedy_low"]),
                        float(row["score_vs_greedy_high"]))
        print(f"| {name} | {row['iteration']} | {int(row['positions']):,} | {greedy} | {figures['bold']} | "
              f"{figures['random']} |", flush=True)
        (out / "ablation.json").write_text(json.dumps({"variant": name, "options": extra, "greedy": greedy,
                                                       **figures}, indent=1))


if __name__ == "__main__":
    main()
