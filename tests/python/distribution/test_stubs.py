"""The type stubs: installed where type checkers look, in step with the module, and strict.

One mypy --strict run checks the typed example (every member of SelfPlayGame), the installed
self-play package, and a set of misuses that the stubs must reject.
"""

import ast
import inspect
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import quellor
from support import ROOT

EXAMPLE = ROOT / "examples" / "typed_usage.py"
STUB = Path(sysconfig.get_paths()["purelib"]) / "quellor-stubs" / "__init__.pyi"

# Each misuse, and the mypy error code it must draw.
MISUSES = {
    "turn_as_text": ("x: str = quellor.SelfPlayGame().turn", "assignment"),
    "turn_assigned": ("quellor.SelfPlayGame().turn = True", "misc"),
    "board_as_floats": ("b: list[list[float]] = quellor.SelfPlayGame().board\nb.append([0.5])\n"
                        "c: list[list[str]] = quellor.SelfPlayGame().board", "assignment"),
    "apply_int": ("quellor.SelfPlayGame().apply(3)", "arg-type"),
    "action_index_none": ("quellor.SelfPlayGame().action_index(None)", "arg-type"),
    "value_from_int": ("quellor.SelfPlayGame().terminal_value(1)", "arg-type"),
    "board_int": ("quellor.SelfPlayGame(board=5)", "arg-type"),
    "history_text": ("quellor.SelfPlayGame(history_tensors=[['a']])", "list-item"),
    "clone_argument": ("quellor.SelfPlayGame().clone(1)", "call-arg"),
    "moves_as_text": ("m: list[str] = quellor.SelfPlayGame().legal_actions()", "assignment"),
    "encode_as_int": ("t: int = quellor.SelfPlayGame().encode()", "assignment"),
    "castling_triple": ("a, b, c = quellor.SelfPlayGame().castle_eligible()", "misc"),
    "subclass": ("class Sub(quellor.SelfPlayGame):\n    pass", "misc"),
    "unknown_member": ("quellor.SelfPlayGame().undo()", "attr-defined"),
}


def stub_class():
    tree = ast.parse(STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "SelfPlayGame"]
    return cls


def test_stub_package_is_installed_beside_the_module():
    assert STUB.is_file()
    assert Path(quellor.__file__).parent == STUB.parent.parent


def test_stub_members_match_the_module():
    members = {n.name: n for n in stub_class().body if isinstance(n, ast.FunctionDef)}
    public = {name for name in dir(quellor.SelfPlayGame) if not name.startswith("_")}
    assert set(members) - {"__new__"} == public
    assert ast.get_docstring(stub_class())
    for name, node in members.items():
        assert ast.get_docstring(node), f"{name} has no docstring"
        if name == "__new__":
            runtime = inspect.signature(quellor.SelfPlayGame)
            stubbed = [a.arg for a in node.args.args[1:]]
        else:
            attribute = getattr(quellor.SelfPlayGame, name)
            if isinstance(attribute, property) or type(attribute).__name__ == "getset_descriptor":
                assert any(
                    isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list
                ), name
                continue
            runtime = inspect.signature(attribute)
            stubbed = [a.arg for a in node.args.args]
        assert stubbed == list(runtime.parameters), name


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """Runs mypy --strict once over the example, the self-play package and the misuses."""
    work = tmp_path_factory.mktemp("mypy")
    files = []
    for name, (code, _) in MISUSES.items():
        path = work / f"misuse_{name}.py"
        path.write_text(f"import quellor\n\n{code}\n")
        files.append(str(path))
    def mypy(*targets):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
             str(work / "cache"), *targets],
            capture_output=True, text=True, timeout=600, cwd=work,
        )

    package = mypy("-p", "quellor_selfplay")
    result = mypy(str(EXAMPLE), *files)
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(.+?):\d+: error: .*\[([a-z-]+)\]$", line)
        if match:
            errors.setdefault(Path(match[1]).name, []).append(match[2])
    return package, result, errors


def test_typed_example_and_package_pass_strict_mypy(mypy_report):
    package, result, errors = mypy_report
    assert package.returncode == 0, package.stdout + package.stderr
    assert set(errors) == {f"misuse_{name}.py" for name in MISUSES}, result.stdout
    assert "Cannot find implementation or library stub" not in result.stdout


@pytest.mark.parametrize("name", sorted(MISUSES))
def test_stubs_reject_misuse(mypy_report, name):
    _, result, errors = mypy_report
    assert MISUSES[name][1] in errors.get(f"misuse_{name}.py", []), result.stdout


def test_typed_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert "g1f3 -> slot 405" in result.stdout
