"""The library's public surface as the running module declares it, and the two texts that
restate it: the stub's signatures and docstrings (src/tablora/tablora.pyi) and the API
reference's headings (docs/api.md). The extension is the one source: each function is declared
once, by the unit that holds its body (a Declaration row); its parameters reach Python as its
__text_signature__, and the names of the module's functions, in binding order, as
tablora._surface.FUNCTIONS.

    python scripts/surface.py           lists every place out of step; exit status 1 if any
    python scripts/surface.py --write   first rewrites, from the module, the stub's functions
                                        (their order, parameters, defaults and docstrings'
                                        first lines) and the reference's headings

The stub's annotations are written by hand: --write keeps each parameter's annotation by its
name and the return annotation, and writes a new function's parameters bare, to be annotated.
A new function's heading is added after the last one, with the sections every heading has, to
be filled in. tests/test_docs.py runs the same check.
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
WIDTH = 99  # the stub's longest line


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


def declared_functions() -> tuple[str, ...]:
    """The names of the module's functions in binding order, as the extension declares them."""
    from tablora import _surface, tablora  # noqa: F401  (tablora.tablora makes _surface)

    return _surface.FUNCTIONS


def declared() -> dict[str, object]:
    """The module's functions in binding order, then DB and its method."""
    import tablora.tablora as extension

    functions = {name: getattr(extension, name) for name in declared_functions()}
    return {**functions, "DB": extension.DB, "DB.connection": extension.DB.connection}


def signature(name: str, function: object) -> str:
    """The parameter list, without parentheses, as the running module gives it."""
    return str(inspect.signature(function))[1:-1]  # type: ignore[arg-type]


def first_line(doc: str | None) -> str | None:
    return None if doc is None else doc.split("\n", 1)[0]


def differences() -> list[str]:
    """Every place where the module, the stub or the API reference does not restate the
    declaration: the functions bound are those declared, the stub has the same functions in
    binding order, parameters with their defaults, the first line of each docstring (none for
    the private ones), and the reference a heading per function and method."""
    import tablora.tablora as module

    found = []
    running = declared()
    functions = [name for name in running if not name.startswith("DB")]
    bound = [name for name, value in vars(module).items()
             if isinstance(value, types.BuiltinFunctionType)]  # fmt: skip
    if bound != functions:
        found.append(f"the module binds {bound}, it declares {functions}")
    stub = stub_tree()
    stubbed = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
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


# ---- writing ----------------------------------------------------------------------------


def stub_function(name: str, function: object, old: ast.FunctionDef | None) -> str:
    """The stub's text of one function: the module's parameters, defaults and docstring's first
    line, with the annotations `old` gives its parameters by name and its return."""
    annotations = {}
    returns = ""
    if old is not None:
        annotations = {a.arg: ast.unparse(a.annotation)
                       for a in old.args.posonlyargs + old.args.args if a.annotation}  # fmt: skip
        returns = f" -> {ast.unparse(old.returns)}" if old.returns else ""
    pieces = []
    for parameter in inspect.signature(function).parameters.values():  # type: ignore[arg-type]
        annotation = annotations.get(parameter.name)
        piece = parameter.name + (f": {annotation}" if annotation else "")
        if parameter.default is not inspect.Parameter.empty:
            joint = " = " if annotation else "="
            piece += joint + repr(parameter.default)
        pieces.append(piece)
    doc = first_line(getattr(function, "__doc__", None))
    body = f'    """{doc}"""\n' if doc else ""
    tail = f"){returns}:" + ("" if doc else " ...")
    one_line = f"def {name}({', '.join(pieces)}{tail}"
    if len(one_line) <= WIDTH:
        return one_line + "\n" + body
    indented = f"    {', '.join(pieces)}"
    if len(indented) <= WIDTH:
        return f"def {name}(\n{indented}\n{tail}\n" + body
    return f"def {name}(\n" + "".join(f"    {piece},\n" for piece in pieces) + f"{tail}\n" + body


def write_stub() -> None:
    """Rewrites the stub's functions that differ from the module, adds those it lacks after the
    one declared before them, and removes those the module does not declare; the rest of the
    stub (its classes, aliases and annotations) stays as written."""
    text = STUB.read_text(encoding="utf-8")
    lines = text.splitlines(keepends=True)
    stub = ast.parse(text)
    old = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    running = {name: f for name, f in declared().items() if not name.startswith("DB")}
    if not old:
        raise SystemExit(f"{STUB} has no function to place the module's functions after")
    start = min(node.lineno for node in old.values()) - 1
    end = max(node.end_lineno or node.lineno for node in old.values())
    pieces = []
    for name, function in running.items():
        node = old.get(name)
        fresh = stub_function(name, function, node)
        if node is not None:
            kept = "".join(lines[node.lineno - 1 : node.end_lineno])
            same = (parameters(node) == signature(name, function) and
                    first_line(ast.get_docstring(node)) == first_line(function.__doc__))
            fresh = kept if same else fresh
        pieces.append(fresh)
    # As the stub is formatted: no blank line after a function whose body is "...".
    body = "".join(piece + ("" if piece.endswith(" ...\n") or i == len(pieces) - 1 else "\n")
                   for i, piece in enumerate(pieces))  # fmt: skip
    STUB.write_text("".join(lines[:start]) + body + "".join(lines[end:]), encoding="utf-8")


def write_headings() -> None:
    """Rewrites the parameter list of every heading that names a declared function, and adds a
    heading, with the sections every heading has, for each function that has none."""
    running = declared()
    api = API.read_text(encoding="utf-8")

    def heading(match: re.Match[str]) -> str:
        name = match[1]
        if name not in running:
            return match[0]
        return f"### `{name}({signature(name, running[name])})`"

    api = HEADING.sub(heading, api)
    missing = [name for name in running if name not in documented(api)]
    if missing:
        last = list(HEADING.finditer(api))[-1]
        following = api.find("\n## ", last.end())
        at = len(api) if following < 0 else following + 1
        added = "".join(
            f"### `{name}({signature(name, running[name])})`\n\n"
            + (f"{first_line(running[name].__doc__)}\n\n" if running[name].__doc__ else "")
            + "**Statements**\n\n**Errors**\n\n"
            for name in missing
        )
        api = api[:at].rstrip("\n") + "\n\n" + added + api[at:].lstrip("\n")
    API.write_text(api, encoding="utf-8")


def main(argv: list[str]) -> int:
    if "--write" in argv:
        write_stub()
        write_headings()
    found = differences()
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
