"""GameBatch: its API, and its games against SelfPlayGame and OpenSpiel's dark_chess."""
