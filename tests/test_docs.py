"""docs/ kept in step with the code: the API reference against the stub and the running
module, the CLI guide against the argument parser."""

import ast
import inspect
import re
import shlex
import types
from pathlib import Path

import pytest

import tablora.tablora as T
from tablora import cli

ROOT = Path(__file__).resolve().parent.parent
API = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
CLI = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
STUB = ast.parse((ROOT / "src" / "tablora" / "tablora.pyi").read_text(encoding="utf-8"))


def parameters(function: ast.FunctionDef, *, drop_self: bool = False) -> str:
    """The parameter list as `inspect.signature` writes it, without annotations."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    pieces = [
        arg.arg + ("" if default is None else "=" + ast.unparse(default))
        for arg, default in zip(positional, defaults)
    ]
    assert not args.kwonlyargs and not args.vararg and not args.kwarg
    return ", ".join(pieces[1:] if drop_self else pieces)


def stub_signatures() -> dict[str, str]:
    found = {}
    for node in STUB.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = parameters(node)
        elif isinstance(node, ast.ClassDef) and node.name == "DB":
            for method in node.body:
                if isinstance(method, ast.FunctionDef) and method.name == "__init__":
                    found["DB"] = parameters(method, drop_self=True)
                elif isinstance(method, ast.FunctionDef):
                    found[f"DB.{method.name}"] = parameters(method)
    return found


def documented() -> dict[str, str]:
    return dict(re.findall(r"^### `([\w.]+)\((.*)\)`$", API, flags=re.M))


def sections(text: str, level: str) -> dict[str, str]:
    """Heading text -> body, for headings of the given level."""
    parts = re.split(rf"^{level} (.+)$", text, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def test_every_stub_function_is_documented_with_its_parameters():
    stub = stub_signatures()
    assert len(stub) == 16  # DB, DB.connection and the fourteen module functions
    assert documented() == stub


def first_line(doc: str | None) -> str | None:
    return None if doc is None else doc.split("\n", 1)[0]


def test_stub_and_reference_restate_the_declared_functions():
    """Each function is declared once in the extension; the stub and the API reference
    restate it: the same functions in binding order, parameters with their defaults, and
    the first line of the docstring (none for the private ones)."""
    declared = {
        name: value for name, value in vars(T).items()
        if isinstance(value, types.BuiltinFunctionType)
    }
    stubbed = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}
    assert list(stubbed) == list(declared)
    for name, function in declared.items():
        running = str(inspect.signature(function))
        assert (name, f"({parameters(stubbed[name])})") == (name, running)
        assert (name, f"({documented()[name]})") == (name, running)
        stub_doc = ast.get_docstring(stubbed[name])
        assert (name, first_line(stub_doc)) == (name, first_line(function.__doc__))
    for name, method in {"DB": T.DB, "DB.connection": T.DB.connection}.items():
        assert f"({documented()[name]})" == str(inspect.signature(method))


@pytest.mark.parametrize("heading", [h for h in sections(API, "###")])
def test_every_function_lists_its_statements_and_errors(heading):
    body = sections(API, "###")[heading]
    assert "**Statements**" in body and "**Errors**" in body, heading
    assert body.index("**Statements**") < body.index("**Errors**")


def test_the_api_example_runs(tmp_path, monkeypatch, capsys):
    [example] = re.findall(r"```python\n(.*?)```", API, flags=re.S)
    monkeypatch.chdir(tmp_path)
    exec(compile(example, "docs/api.md", "exec"), {})
    assert capsys.readouterr().out == "[['Ann', 'house', '1 Main St', 30]]\n"


def subcommands():
    parser = cli.build_parser()
    [choices] = [a for a in parser._actions if a.choices and isinstance(a.choices, dict)]
    return choices.choices


@pytest.mark.parametrize("command", sorted(subcommands()))
def test_cli_guide_covers_every_command_and_option(command):
    guide = {
        heading.strip("`").split()[1]: body
        for heading, body in sections(CLI, "##").items()
        if heading.startswith("`tablora ")
    }
    assert command in guide, f"docs/cli.md has no section for {command}"
    heading = next(h for h in sections(CLI, "##") if h.startswith(f"`tablora {command} "))
    parser = subcommands()[command]
    for action in parser._actions:
        if action.dest == "help":
            continue
        if action.option_strings:
            assert any(o in heading + guide[command] for o in action.option_strings), action
        else:
            assert action.metavar in heading, (command, action.metavar)


def example_commands():
    blocks = re.findall(r"```console\n(.*?)```", CLI, flags=re.S)
    lines = "\n".join(blocks).replace("\\\n", " ").splitlines()
    return [shlex.split(line[2:])[1:] for line in lines if line.startswith("$ tablora ")]


@pytest.mark.parametrize("argv", example_commands(), ids=" ".join)
def test_cli_guide_examples_parse(argv):
    args = cli.build_parser().parse_args(argv)
    assert args.command == argv[0]


def test_cli_guide_examples_cover_every_command():
    assert {argv[0] for argv in example_commands()} == set(subcommands())
