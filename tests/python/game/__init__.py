"""SelfPlayGame: construction, queries, moves, planes, the module's surface, reliability."""
