"""The report every benchmark section writes into: its lines, printed as they come, and the
targets it measured, which run.py lists at the end (and a section run alone lists itself).

A module of its own so that run.py imports the sections and the sections import this, never
run.py back.
"""


def fmt_int(x):
    return f"{x:,.0f}"


class Report:
    def __init__(self):
        self.lines = []
        self.targets = []

    def out(self, text=""):
        self.lines.append(text)
        print(text, flush=True)

    def target(self, met, label, figure, why=""):
        self.targets.append((met, label, figure, why))
