"""Shows a quellor game at work: the board of a FEN position and what its side to move sees."""

import quellor

SYMBOLS = {0: ".", 1: "P", 2: "N", 3: "B", 4: "R", 5: "Q", 6: "K"}
FEN = "r1bqk2r/pppp1ppp/2n2n2/2b1p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4"


def piece_symbol(code: int) -> str:
    letter = SYMBOLS[abs(code)]
    return letter.lower() if code < 0 else letter


def main() -> None:
    game = quellor.SelfPlayGame(FEN)
    side = "White" if game.turn else "Black"
    print(f"Position: {FEN}")
    print(f"{side} to move; castling rights (king side, queen side): {game.castle_eligible()}\n")
    print("The whole board:")
    for i, row in enumerate(game.board):
        print(f"  {8 - i} " + " ".join(piece_symbol(code) for code in row))
    print("    a b c d e f g h\n")

    # The first fog-of-war plane: channel 12 marks a hidden square; 0-5 own, 6-11 enemy pieces.
    try:
        obs = game.encode()
    except ValueError as err:
        print(f"(no observation: {err})")
        return
    plane = obs[:, 91:104]  # the newest frame
    print(f"What {side} sees (# = hidden):")
    for rank in range(7, -1, -1):
        cells = []
        for file in range(8):
            row = plane[rank * 8 + file] if game.turn else plane[(rank * 8 + file) ^ 56]
            channels = [c for c in range(13) if row[c] == 1.0]
            if channels == [12]:
                cells.append("#")
            elif not channels:
                cells.append(".")
            else:
                kind = channels[0] % 6 + 1
                own = channels[0] < 6
                cells.append(piece_symbol(kind if own == game.turn else -kind))
        print(f"  {rank + 1} " + " ".join(cells))
    print("    a b c d e f g h")
    print(f"\nObservation tensor: shape {tuple(obs.shape)}, dtype {obs.dtype}")


if __name__ == "__main__":
    main()
