"""The package's two floors, read from the installed package's own source: the library never
imports the commands, no module imports itself round a circle, and the package's own modules are
imported where a reader looks for them, at the top of the module."""

import ast
import subprocess
import sys
from pathlib import Path

import quellor_selfplay

PACKAGE = Path(quellor_selfplay.__file__).resolve().parent
NAME = "quellor_selfplay"
# Function-local imports are for packages that a part of the library needs and the rest does
# without; the lazy GameBatch and player-interface attributes keep `import quellor_selfplay`
# free of torch.
OPTIONAL = {"torch", "ray", "matplotlib", "chess"}
LAZY = {("quellor_selfplay", "__getattr__", "quellor_selfplay.batch"),
        ("quellor_selfplay", "__getattr__", "quellor_selfplay.turn")}


def _modules():
    names = {}
    for path in PACKAGE.rglob("*"):
        if path.suffix not in (".py", ".so") or "__pycache__" in path.parts:
            continue
        parts = path.relative_to(PACKAGE.parent).parts
        name = ".".join([*parts[:-1], parts[-1].split(".")[0]])
        names[name.removesuffix(".__init__")] = path
    return names


MODULES = _modules()


def _target(name):
    """The package module an imported name comes from (a name inside a module: the module)."""
    while name not in MODULES and "." in name:
        name = name.rsplit(".", 1)[0]
    return name if name in MODULES else None


def _imports():
    """(importer, imported, function) for every import of a package module; function is None at
    module level."""
    found = []
    for module, path in MODULES.items():
        if path.suffix != ".py":
            continue
        tree = ast.parse(path.read_text(encoding="utf-8"))
        # Functions first: what they hold is theirs, whatever is left stands at module level.
        scopes = [(f.name, f) for f in ast.walk(tree) if isinstance(f, (ast.FunctionDef, ast.AsyncFunctionDef))]
        scopes.append((None, tree))
        seen = set()
        for function, scope in scopes:
            for node in ast.walk(scope):
                if not isinstance(node, (ast.Import, ast.ImportFrom)) or id(node) in seen:
                    continue
                seen.add(id(node))
                if isinstance(node, ast.Import):
                    names = [a.name for a in node.names]
                else:
                    base = node.module or ""
                    if node.level:
                        anchor = module.split(".")
                        if path.name != "__init__.py":
                            anchor = anchor[:-1]
                        base = ".".join(anchor[: len(anchor) - node.level + 1] + ([base] if base else []))
                    names = [f"{base}.{a.name}" for a in node.names]
                for name in names:
                    top = name.split(".")[0]
                    if top != NAME:
                        if function is not None and top not in OPTIONAL:
                            found.append((module, name, function))
                        continue
                    target = _target(name)
                    if target is not None and target != module:
                        found.append((module, target, function))
    return found


IMPORTS = _imports()


def test_the_package_is_read_whole():
    assert {"quellor_selfplay.batch", "quellor_selfplay._batch", "quellor_selfplay.commands.cli",
            "quellor_selfplay.envs.openspiel"} <= set(MODULES)
    assert any(function is None for _, _, function in IMPORTS)


def test_the_library_never_imports_a_command():
    library = [(a, b) for a, b, _ in IMPORTS
               if not a.startswith(f"{NAME}.commands") and a != f"{NAME}.__main__" and b.startswith(f"{NAME}.commands")]
    assert library == []


def test_no_module_imports_itself_round_a_circle():
    edges = {}
    for a, b, _ in IMPORTS:
        edges.setdefault(a, set()).add(b)

    def reaches(start):
        seen, todo = set(), list(edges.get(start, ()))
        while todo:
            node = todo.pop()
            if node not in seen:
                seen.add(node)
                todo += edges.get(node, ())
        return seen

    assert sorted(m for m in MODULES if m in reaches(m)) == []


def test_only_optional_packages_are_imported_inside_functions():
    assert {(m, f, i) for m, i, f in IMPORTS if f is not None} == LAZY


def test_the_package_exports_the_player_interface_without_loading_torch():
    code = ("import sys, quellor_selfplay as q\n"
            "assert 'torch' not in sys.modules\n"
            "from quellor_selfplay import Decision, Player, Reads, Turn\n"
            "from quellor_selfplay import turn\n"
            "assert (Player, Turn, Decision, Reads) == (turn.Player, turn.Turn, turn.Decision, turn.Reads)\n"
            "assert {'Player', 'Turn', 'Decision', 'Reads', 'GameBatch'} <= set(q.__all__) & set(dir(q))\n")
    subprocess.run([sys.executable, "-c", code], check=True)
