"""Player names: every form resolves in one table, a name of no form is refused with the forms
listed, and the commands, the trainer and the Gymnasium opponents resolve through it alike."""

import io
import re
import sys

import pytest
import torch

from quellor_selfplay.commands.cli import main
from quellor_selfplay.config import PLAYER_HELP
from quellor_selfplay.envs.gymnasium import OpponentEnv
from quellor_selfplay.net import CheckpointError, save_checkpoint, seeded_net
from quellor_selfplay.players import PLAYER_FORMS, PlayerError, load_player, player_file, player_form

UNKNOWN = ("unknown player {!r}: expected random, greedy, bold, script:PATH, search[...]:PATH, module:callable or "
           "a checkpoint file")

USER_MODULE = """
from quellor_selfplay.players import RandomPlayer


def make():
    return RandomPlayer()
"""


@pytest.fixture
def files(tmp_path, monkeypatch):
    """A checkpoint, a TorchScript module, a module of the user's own, and the test in tmp_path."""
    monkeypatch.chdir(tmp_path)
    save_checkpoint(seeded_net(seed=0, hidden=4), tmp_path / "net.pt", observation="own")
    buffer = io.BytesIO()
    with pytest.warns(DeprecationWarning):
        torch.jit.save(torch.jit.script(torch.nn.Linear(2, 2)), buffer)
    (tmp_path / "module.ts").write_bytes(buffer.getvalue())
    (tmp_path / "names_user.py").write_text(USER_MODULE)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "names_user", raising=False)
    return tmp_path


@pytest.mark.parametrize(
    "name, kind, form, file",
    [
        ("random", "random", "random", None),
        ("greedy", "greedy", "greedy", None),
        ("bold", "bold", "bold", None),
        ("net.pt", "net", "a checkpoint file", "net.pt"),
        ("./net.pt", "net", "a checkpoint file", "net.pt"),
        ("script:module.ts", "script", "script:PATH", "module.ts"),
        ("search:net.pt", "search", "search[...]:PATH", "net.pt"),
        ("search[nodes=64]:net.pt", "search", "search[...]:PATH", "net.pt"),
        ("names_user:make", "callable", "module:callable", None),
    ],
)
def test_every_form_resolves_to_its_player(files, name, kind, form, file):
    assert load_player(name).kind == kind
    assert player_form(name).form == form
    found = player_file(name)
    assert (found is None) == (file is None)
    assert found is None or found.resolve() == files / file


def test_a_file_named_like_another_form_is_read_only_where_that_form_names_no_file(files):
    # A bare name beats a file of that name; a module:callable does not, as before.
    (files / "greedy").write_bytes((files / "net.pt").read_bytes())
    (files / "names_user:make").write_bytes((files / "net.pt").read_bytes())
    assert load_player("greedy").kind == "greedy" and player_file("greedy") is None
    assert load_player("names_user:make").kind == "net"


@pytest.mark.parametrize(
    "name, error, message",
    [
        ("grredy", PlayerError, UNKNOWN.format("grredy")),
        ("Random", PlayerError, UNKNOWN.format("Random")),
        ("search", PlayerError, UNKNOWN.format("search")),
        ("", PlayerError, UNKNOWN.format("")),
        ("module:", PlayerError, UNKNOWN.format("module:")),
        # What looks like a path is a checkpoint that is missing, as the commands have always said.
        ("missing.pt", CheckpointError, "checkpoint missing.pt does not exist"),
        ("runs/final", CheckpointError, "checkpoint runs/final does not exist"),
        ("search:gone.pt", CheckpointError, "checkpoint gone.pt does not exist"),
        ("script:gone.ts", CheckpointError, "TorchScript module gone.ts does not exist"),
        (".", CheckpointError, "checkpoint . is a directory, not a file"),
        ("no_such_module:make", PlayerError, "player no_such_module:make: cannot import no_such_module"),
    ],
)
def test_a_name_of_no_player_is_refused_with_what_was_expected(files, name, error, message):
    with pytest.raises(error) as info:
        load_player(name)
    assert str(info.value).startswith(message)
    assert player_file(name) is None


def test_the_command_line_help_names_every_form():
    assert [form.form for form in PLAYER_FORMS if form.form not in PLAYER_HELP] == []


@pytest.mark.parametrize(
    "args, message",
    [
        (["match", "random", "grredy"], UNKNOWN.format("grredy")),
        (["exploit", "grredy"], UNKNOWN.format("grredy")),
        (["train", "--bots", "greedy,grredy"], "--bots: " + UNKNOWN.format("grredy")),
        # --checkpoint names a file: a name of no form is one that is missing.
        (["play", "--policy", "net", "--checkpoint", "mynet"], "checkpoint mynet does not exist"),
        (["play", "--policy", "net", "--checkpoint", "no_such_module:make"],
         "player no_such_module:make: cannot import no_such_module"),
    ],
)
def test_every_command_refuses_an_unknown_player_as_a_usage_error(files, capsys, args, message):
    try:
        status = main([*args, "--out", str(files / "out"), "--no-progress"] if args[0] != "match"
                      else [*args, "--no-progress"])
    except SystemExit as exit_:
        status = exit_.code
    assert status == 2
    assert message in capsys.readouterr().err
    assert not (files / "out").exists()


def test_a_gymnasium_opponent_is_named_as_the_commands_name_it(files):
    with pytest.raises(PlayerError, match=re.escape(UNKNOWN.format("grredy"))):
        OpponentEnv("grredy")
    assert OpponentEnv("names_user:make").reset(seed=0)[0]["action_mask"].any()

