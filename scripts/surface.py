"""The library's public surface as the running module declares it, and the two texts that
restate it: the stub's signatures (src/tablora/tablora.pyi) and the API reference's headings
(docs/api.md). The extension is the one source: each function is declared once, by the unit
that holds its body (a Declaration row), and its parameters reach Python as its
__text_signature__.

    python scripts/surface.py           lists every place out of step; exit status 1 if any
    python scripts/surface.py --write   rewrites docs/api.md's headings from the module first

The stub's annotations are written by hand, so its signatures are checked, not written.
tests/test_docs.py runs the same check.
"""

from __future__ import annotations

import ast
import inspect
import re
import sys
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
API = ROOT / "docs" / "api.md"
STUB = ROOT / "src" / "tablora" / "tablora.pyi"
HEADING = re.compile(r"^### `([\w.]+)\((.*)\)`$", flags=re.M)


def parameters(function: ast.FunctionDef, *, drop_self: bool = False) -> str:
    """A stub function's parameter list as `inspect.signature` writes it, without annotations."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    pieces = [
        arg.arg + ("" if default is None else "=" + ast.unparse(default))
        for arg, default in zip(positional, defaults)
    ]
    assert not args.kwonlyargs and not args.vararg and not args.kwarg
    return ", ".join(pieces[1:] if drop_self else pieces)


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_signatures(stub: ast.Module) -> dict[str, str]:
    """Name -> parameter list of every function and of DB's methods in the stub."""
    found = {}
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef) and node.name == "DB":
            for method in node.body:
                if isinstance(method, ast.FunctionDef) and method.name == "__init__":
                    found["DB"] = parameters(method, drop_self=True)
                elif isinstance(method, ast.FunctionDef):
                    found[f"DB.{method.name}"] = parameters(method)
    return found


def documented(api: str) -> dict[str, str]:
    """Name -> parameter list of every heading of the API reference."""
    return dict(HEADING.findall(api))


def declared() -> dict[str, object]:
    """The module's functions in binding order, then DB and its method."""
    import tablora.tablora as T

    functions: dict[str, object] = {
        name: value
        for name, value in vars(T).items()
        if isinstance(value, types.BuiltinFunctionType)
    }
    return {**functions, "DB": T.DB, "DB.connection": T.DB.connection}


def signature(name: str, function: object) -> str:
    """The parameter list, without parentheses, as the running module gives it."""
    return str(inspect.signature(function))[1:-1]  # type: ignore[arg-type]


def first_line(doc: str | None) -> str | None:
    return None if doc is None else doc.split("\n", 1)[0]


def differences() -> list[str]:
    """Every place where the stub or the API reference does not restate the module: the
    same functions in binding order, parameters with their defaults, the first line of
    each docstring (none for the private ones), and a heading per function and method."""
    found = []
    running = declared()
    stub = stub_tree()
    stubbed = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    functions = [name for name in running if not name.startswith("DB")]
    if list(stubbed) != functions:
        found.append(f"stub functions {list(stubbed)} differ from the module's {functions}")
    headings = documented(API.read_text(encoding="utf-8"))
    signatures = stub_signatures(stub)
    for where, names in (("stub", signatures), ("docs/api.md", headings)):
        extra = sorted(set(names) - set(running))
        if extra:
            found.append(f"{where}: {extra} are not in the module")
    for name, function in running.items():
        wanted = signature(name, function)
        if signatures.get(name) != wanted:
            found.append(f"stub: {name}({signatures.get(name)}) should be {name}({wanted})")
        if headings.get(name) != wanted:
            found.append(f"docs/api.md: {name}({headings.get(name)}) should be {name}({wanted})")
        if name in stubbed:
            doc = first_line(ast.get_docstring(stubbed[name]))
            if doc != first_line(function.__doc__):
                found.append(f"stub: {name}'s docstring begins {doc!r}, the module's "
                             f"{first_line(function.__doc__)!r}")
    return found


def write_headings() -> None:
    """Rewrites the parameter list of every heading that names a declared function."""
    running = declared()

    def heading(match: re.Match[str]) -> str:
        name = match[1]
        if name not in running:
            return match[0]
        return f"### `{name}({signature(name, running[name])})`"

    API.write_text(HEADING.sub(heading, API.read_text(encoding="utf-8")), encoding="utf-8")


def main(argv: list[str]) -> int:
    if "--write" in argv:
        write_headings()
    found = differences()
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
