"""quellor-selfplay: the library floor (data, players, trainer, matches) and its commands."""
