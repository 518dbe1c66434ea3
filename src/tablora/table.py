"""`Table`: one managed table as the everyday layer shows it, over the module's functions."""

from __future__ import annotations

import contextlib
import importlib
import io
import itertools
import os
import sys
import time
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sequence
from operator import itemgetter
from typing import IO, TYPE_CHECKING, Any, NamedTuple

import tablora.tablora as extension
from tablora import _catalogue, _merge, _read
from tablora.engines.registry import engine_of
from tablora.errors import ArgumentError, NotFoundError, UnknownColumnError, UnknownRuleError
from tablora.identifiers import column_position, quoted, split_columns
from tablora.progress import Phases
from tablora.readers import Source, csv_rows, json_rows
from tablora.readers import delimiter as csv_delimiter
from tablora.row import Row, row_class

if TYPE_CHECKING:
    from tablora.database import Database

BATCH_ROWS = 5000  # rows per insert_temp call: memory stays bounded whatever the input
ARROW_BATCH_ROWS = 65536
# A stepped merge frees the write lock for STEP_PAUSE seconds before its steps would hold it
# for more than STEP_LOCK_SECONDS since the last pause (judged by the last step's time): a
# writer beside it waits about that long at most, and the merge pays a pause per
# STEP_LOCK_SECONDS of work rather than per step. A pause is idle time unless someone takes
# the lock in it, and no one can tell whether a writer waits; so while no other connection
# has committed since the last pause, the steps hold the lock for STEP_QUIET_LOCK_SECONDS
# between pauses: a writer that comes in such a quiet stretch waits that long once, and
# its commit brings the shorter stretches back (on a file; `Engine.quiet_stretches`).
STEP_PAUSE = 0.1
STEP_LOCK_SECONDS = 0.5
STEP_QUIET_LOCK_SECONDS = 0.75
Params = Sequence[Any] | Mapping[str, Any]
Select = str | Sequence[str] | None


class MergeSummary(NamedTuple):
    """What one merge did, counted by the database."""

    staged: int
    inserted: int
    replaced: int
    left_out: int
    seconds: float


class Table:
    """A managed table: its main table and the staging table `temp_<name>`."""

    def __init__(self, db: Database, name: str, columns: Sequence[str]) -> None:
        self.db = db
        self.name = name
        self.columns: list[str] = list(columns)
        self._all = row_class(name, self.columns)

    def __repr__(self) -> str:
        return f"<Table {self.name} ({', '.join(self.columns)})>"

    # ---- what the catalogue holds ------------------------------------------------------

    @property
    def rules(self) -> dict[str, list[str]]:
        """Unique rule name -> its column names, in catalogue order."""
        return {
            str(rule): [self.columns[p] for p in positions]
            for rule, positions in _catalogue.rule_positions(self.db.conn, self.name).items()
        }

    @property
    def indexes(self) -> dict[str, list[str]]:
        """Registered index name -> its column names; the indexes that support the unique
        rules, registered under the rules' names, are not listed."""
        rules = self.rules
        return {
            str(index): split_columns(str(columns))
            for index, columns in self.db.conn.execute(
                "SELECT index_name, columns FROM index_table WHERE table_name = ? COLLATE NOCASE",
                (self.name,),
            )
            if index not in rules
        }

    def position(self, column: object, what: str = "column") -> int:
        return column_position(self.name, self.columns, column, what)

    # ---- reads -------------------------------------------------------------------------

    def rows_where(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: Select = None,
        order_by: str | None = None,
        limit: int | None = None,
        offset: int | None = None,
    ) -> Generator[Row]:
        """The newest-wins rows of both tiers, streamed, as rows readable by name and by
        position. `where` and `order_by` are SQL (without WHERE, ORDER BY) over the column
        names; values go in `params`, bound as parameters. `order_by`, `limit` and `offset`
        apply to the combined result. `select` is a list of column names (or one text of
        names joined by ','); by default every column, in table order."""
        positions, names = self._selection(select)
        cls = self._all if positions is None else row_class(self.name, names)
        _, _, rows = self._newest(where, params, select, order_by, limit, offset, cls)
        reading = _closing_rows(rows)
        self.db.reads.add(reading)
        return reading

    def _newest(
        self,
        where: str | None,
        params: Params,
        select: Select,
        order_by: str | None,
        limit: int | None,
        offset: int | None,
        row_type: type[Row] | None = None,
    ) -> tuple[list[int] | None, list[str], Any]:
        """The selected positions and names, and the core's read of the rows as tuples (or
        as `row_type`, which the core makes each row as)."""
        positions, names = self._selection(select)
        for value, what in ((limit, "limit"), (offset, "offset")):
            if value is not None and (isinstance(value, bool) or not isinstance(value, int)
                                      or value < 0):  # fmt: skip
                raise ArgumentError(f"{what} must be a whole number >= 0, not {value!r}")
        rows = _read.newest_rows(self.db.conn, self.name, select=positions, where=where,
                                 params=params, order_by=order_by, limit=limit,
                                 offset=offset)  # fmt: skip
        if row_type is not None:
            rows.make_as(row_type)
        return positions, names, rows

    def _selection(self, select: Select) -> tuple[list[int] | None, list[str]]:
        if select is None:
            return None, self.columns
        given = [piece.strip() for piece in select.split(",")] if isinstance(select, str) else select
        if isinstance(select, str) and select.strip() == "*":
            return None, self.columns
        positions = [self.position(column, "select") for column in given]
        if not positions:
            raise ArgumentError(f"select names no column of table {self.name!r}")
        return positions, [self.columns[p] for p in positions]

    def count(self, where: str | None = None, params: Params = ()) -> int:
        """How many rows `rows_where(where, params)` yields."""
        _, _, rows = self._newest(where, params, [self.columns[0]], None, None, None)
        with contextlib.closing(rows):
            return sum(1 for _ in rows)

    def get(self, rule: str | None = None, **key: Any) -> Row:
        """The row whose values under a unique rule are `key` (column=value, one per column
        of the rule). Without `rule`, the rule whose columns are exactly the keys given."""
        rules = self.rules
        if rule is not None and rule not in rules:
            raise UnknownRuleError(
                f"table {self.name!r} has no unique rule {rule!r} (rules: {_listed(rules)})"
            )
        given = {self.columns[self.position(column, "get")]: value for column, value in key.items()}
        if rule is None:
            matching = [name for name, cols in rules.items() if set(cols) == set(given)]
            if not matching:
                raise UnknownRuleError(
                    f"table {self.name!r} has no unique rule over exactly "
                    f"{', '.join(given) or 'no columns'} (rules: {_listed(rules)})"
                )
            rule = matching[0]
        if set(rules[rule]) != set(given):
            raise ArgumentError(f"get by rule {rule!r} of table {self.name!r} takes the columns "
                                f"{', '.join(rules[rule])}, not {', '.join(given) or 'none'}")  # fmt: skip
        where = " AND ".join(
            f"{quoted(column)} IS NULL" if value is None else f"{quoted(column)} = ?"
            for column, value in given.items()
        )
        params = [value for value in given.values() if value is not None]
        for row in self.rows_where(where, params, limit=1):
            return row
        shown = ", ".join(f"{column}={value!r}" for column, value in given.items())
        raise NotFoundError(f"no row of table {self.name!r} with {shown} (rule {rule!r})")

    def to_arrow(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: Select = None,
        order_by: str | None = None,
        limit: int | None = None,
        offset: int | None = None,
    ) -> Any:  # a pyarrow.Table (pyarrow ships no type information)
        """The rows of `rows_where` as an Arrow table (`pip install 'tablora[arrow]'`);
        declared INTEGER, REAL, TEXT and BLOB columns get Arrow's matching types."""
        pa = _extra("pyarrow", "arrow")
        declared = self._declared_types()
        positions, names, rows = self._newest(where, params, select, order_by, limit, offset)
        chosen = range(len(self.columns)) if positions is None else positions
        arrow_type = {"INTEGER": pa.int64(), "REAL": pa.float64(), "TEXT": pa.string(),
                      "BLOB": pa.binary()}  # fmt: skip
        types = [arrow_type.get(declared[p]) for p in chosen]
        values: list[list[Any]] = [[] for _ in names]
        with contextlib.closing(rows):
            # A batch of rows turned into columns by zip, in C: no loop over each value here.
            for batch in _batched(rows, ARROW_BATCH_ROWS):
                for column, batch_column in zip(values, zip(*batch)):
                    column.extend(batch_column)
        arrays = [pa.array(column, type=kind) for column, kind in zip(values, types)]
        return pa.Table.from_arrays(arrays, names=names)

    def to_pandas(
        self,
        where: str | None = None,
        params: Params = (),
        *,
        select: Select = None,
        order_by: str | None = None,
        limit: int | None = None,
        offset: int | None = None,
    ) -> Any:  # a pandas.DataFrame
        """The rows of `rows_where` as a pandas DataFrame (`pip install 'tablora[pandas]'`)."""
        pd = _extra("pandas", "pandas")
        _, names, rows = self._newest(where, params, select, order_by, limit, offset)
        with contextlib.closing(rows):
            return pd.DataFrame.from_records(list(rows), columns=names)

    def _declared_types(self) -> list[str]:
        """Each column's declared type in upper case; '' for an untyped column."""
        return [str(row[2]).upper() for row in
                self.db.conn.execute(f"PRAGMA table_info({quoted(self.name)})")]  # fmt: skip

    # ---- writes ------------------------------------------------------------------------

    def stage(self, rows: Any, *, batch_size: int = BATCH_ROWS) -> int:
        """Append rows to the staging table and commit; all or nothing. Returns their count.

        `rows` is an iterable of sequences in column order or of mappings by column name (a
        missing key is NULL), read in batches of `batch_size` so that memory stays bounded;
        or a pandas DataFrame, an Arrow table, record batch or record-batch reader, whose
        columns are matched by name.
        """
        if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size < 1:
            raise ArgumentError(f"batch_size must be a whole number >= 1, not {batch_size!r}")
        module = type(rows).__module__.partition(".")[0]
        if module == "pandas" and hasattr(rows, "itertuples"):
            batches = self._frame_rows(rows, batch_size)
        elif module == "pyarrow":
            batches = self._arrow_rows(rows, batch_size)
        elif isinstance(rows, (str, bytes, Mapping)) or not isinstance(rows, Iterable):
            raise ArgumentError(f"stage takes an iterable of rows, a DataFrame or Arrow data, "
                                f"not {type(rows).__name__}")  # fmt: skip
        else:
            batches = _batched(self._row_values(rows), batch_size)
        count = 0
        with self.db.unit_of_work():
            for batch in batches:
                extension.insert_temp(self.db.conn, self.name, batch, comm=False)
                count += len(batch)
        return count

    def _row_values(self, rows: Iterable[Any]) -> Iterator[Sequence[Any]]:
        """Each row as values in column order."""
        width = len(self.columns)
        every = itemgetter(*self.columns) if width > 1 else lambda row: (row[self.columns[0]],)
        for number, row in enumerate(rows):
            kind = type(row)
            if (kind is tuple or kind is list) and len(row) == width:  # the common case, fast
                yield row
            elif kind is dict or isinstance(row, Mapping):
                try:  # every column by its name, and nothing else: the common case, fast
                    values = every(row) if len(row) == width else None
                except KeyError:
                    values = None
                yield self._placed(row) if values is None else values
            elif isinstance(row, (str, bytes)) or not isinstance(row, Sequence):
                raise ArgumentError(f"row {number} for table {self.name!r} is a "
                                    f"{type(row).__name__}, not a sequence or a mapping")  # fmt: skip
            elif len(row) != width:
                raise ArgumentError(f"row {number} for table {self.name!r} has {len(row)} "
                                    f"values; the table has {width} columns")  # fmt: skip
            else:
                yield row

    def _placed(self, row: Mapping[Any, Any]) -> list[Any]:
        values = [None] * len(self.columns)
        for key, value in row.items():
            values[self.position(key, "row key")] = value
        return values

    def _columnar(self, names: Sequence[Any], columns: list[list[Any]]) -> Iterator[tuple[Any, ...]]:
        """Rows from column value lists named `names`, placed in table order."""
        if list(names) == self.columns:
            return zip(*columns)
        length = len(columns[0]) if columns else 0
        ordered: list[list[Any] | None] = [None] * len(self.columns)
        for name, values in zip(names, columns):
            ordered[self.position(name, "column of the data")] = values
        nulls = [None] * length
        return zip(*(nulls if values is None else values for values in ordered))

    def _frame_rows(self, frame: Any, batch_size: int) -> Iterator[list[Any]]:
        names = list(frame.columns)
        for start in range(0, len(frame), batch_size):
            part = frame.iloc[start : start + batch_size]
            columns = []
            for at in range(len(names)):
                series = part.iloc[:, at]
                if series.hasnans:  # NaN, None, NaT and NA are NULL
                    series = series.astype(object).where(series.notna(), None)
                columns.append(series.tolist())
            yield list(self._columnar(names, columns))

    def _arrow_rows(self, data: Any, batch_size: int) -> Iterator[list[Any]]:
        if hasattr(data, "to_batches"):  # a Table
            batches = data.to_batches(max_chunksize=batch_size)
        elif hasattr(data, "num_columns") and hasattr(data, "column"):  # one RecordBatch
            batches = [data]
        else:  # a RecordBatchReader, or any iterable of record batches
            batches = data
        for batch in batches:
            names = batch.schema.names
            columns = [batch.column(at).to_pylist() for at in range(batch.num_columns)]
            rows = list(self._columnar(names, columns))
            for start in range(0, len(rows), batch_size):
                yield rows[start : start + batch_size]

    def stage_csv(
        self,
        source: str | os.PathLike[str] | IO[Any],
        *,
        encoding: str | None = None,
        delimiter: str | None = None,
        header: bool = True,
        empty_as_null: bool = False,
        as_text: bool = False,
        batch_size: int = BATCH_ROWS,
    ) -> int:
        """Stage the rows of a CSV file (a path or an open file), as `tablora stage` reads it:
        fields separated by `delimiter` (by default a tab for a .tsv path, else ','); a header
        line names the columns (any order, any subset); without `header` the fields are in
        column order. Fields that write an integer or a decimal are numbers unless
        `as_text`; an empty field is NULL with `empty_as_null`. Returns the count."""
        kind = "tsv" if str(getattr(source, "name", source)).lower().endswith(".tsv") else "csv"
        with _TextSource(source, encoding) as (text, label):
            rows = csv_rows(text, label, self.columns, delimiter=csv_delimiter(delimiter, kind),
                            header=header, as_text=as_text, empty_as_null=empty_as_null)  # fmt: skip
            return self.stage(rows, batch_size=batch_size)

    def stage_json(
        self,
        source: str | os.PathLike[str] | IO[Any],
        *,
        encoding: str | None = None,
        batch_size: int = BATCH_ROWS,
    ) -> int:
        """Stage the rows of a JSON Lines file (a path or an open file): one object (by
        column name) or array (in column order) per line. Returns the count."""
        with _TextSource(source, encoding) as (text, label):
            return self.stage(json_rows(text, label, self.columns), batch_size=batch_size)

    def merge(
        self,
        *,
        progress: Callable[[str], object] | bool | None = None,
        step_rows: int | bool | None = None,
    ) -> MergeSummary:
        """Move the staged rows into the main table under the unique rules, the newest
        winning, and commit. `progress` is called with each phase's name, or is True for a
        status line on standard error.

        With `step_rows`, the rows staged when the merge starts go in steps of at most that
        many, oldest first, each in a transaction of its own with the indexes kept, so that
        readers and stagers wait for one step at most; the summary adds the steps up.
        `step_rows=True` takes the engine's default step (`default_step_rows`)."""
        if step_rows is True:
            step_rows = default_step_rows(self.db.conn)
        elif step_rows is not None and (isinstance(step_rows, bool) or
                                        not isinstance(step_rows, int) or step_rows < 1):  # fmt: skip
            raise ArgumentError(f"step_rows must be a whole number >= 1 or True, "
                                f"not {step_rows!r}")
        phases = None
        if progress is True:
            phases = Phases(sys.stderr, f"merging into {self.name}")
            report: Callable[[str], object] | None = phases.show
        elif progress is None or progress is False:
            report = None
        elif callable(progress):
            report = progress
        else:
            raise ArgumentError(f"progress must be a callable or True, not {progress!r}")
        started = time.perf_counter()
        try:
            if step_rows is None:
                counts = self._merge_once(report)
            else:
                counts = self._merge_in_steps(step_rows, report)
        finally:
            if phases is not None:
                phases.finish()
        staged, inserted, replaced = counts
        return MergeSummary(staged, inserted, replaced, staged - inserted,
                            time.perf_counter() - started)  # fmt: skip

    def _merge_once(self, report: Callable[[str], object] | None, **bounds: Any) -> Any:
        # The core commits (and undoes all of its work when the COMMIT fails), unless the
        # caller has a transaction open, which is the caller's to end.
        conn = self.db.conn
        return _merge.merge(conn, self.name, progress=report,
                            comm=not getattr(conn, "in_transaction", False), **bounds)  # fmt: skip

    def _merge_in_steps(
        self, step_rows: int, report: Callable[[str], object] | None
    ) -> tuple[int, int, int]:
        staging = _catalogue.staging_name(self.name)
        # Rows staged after the start wait for the next merge, as they would for one call.
        (newest,) = self.db.conn.execute(f"SELECT max(rowid) FROM {staging}").fetchone()
        totals = [0, 0, 0]
        locked = 0.0  # seconds the steps held the lock since the last pause
        budget = STEP_LOCK_SECONDS  # others may be writing until a pause shows otherwise
        quiet_stretches = engine_of(self.db.conn).quiet_stretches
        seen = _data_version(self.db.conn) if quiet_stretches else None
        while newest is not None:
            started = time.perf_counter()
            # Row ids go as integer literals: some drivers send large integers as REAL.
            found = self.db.conn.execute(
                f"SELECT rowid FROM {staging} WHERE rowid <= {int(newest)} "
                f"ORDER BY rowid LIMIT 1 OFFSET {step_rows - 1}"
            ).fetchone()
            through_row_id = newest if found is None else found[0]
            counts = self._merge_once(report, through_row_id=through_row_id, keep_indexes=True)
            totals = [total + count for total, count in zip(totals, counts)]
            if through_row_id == newest:
                break
            # A writer waiting for the lock retries on its own clock (SQLite's busy handler:
            # every 100 ms once it has waited a while); taking the lock again at once would
            # leave it waiting until the last step.
            step = time.perf_counter() - started
            locked += step
            if locked + step >= budget:  # the next step would pass it
                time.sleep(STEP_PAUSE)
                locked = 0.0
                if quiet_stretches:
                    version = _data_version(self.db.conn)
                    budget = STEP_QUIET_LOCK_SECONDS if version == seen else STEP_LOCK_SECONDS
                    seen = version
        return totals[0], totals[1], totals[2]


def default_step_rows(conn: object) -> int:
    """The staged rows per step of a stepped merge on the engine behind `conn`: a step
    stays well inside what the engine and the writers beside the merge can wait for."""
    return engine_of(conn).step_rows


def _data_version(conn: Any) -> int:
    """A number that changes whenever another connection commits to the database."""
    (version,) = conn.execute("PRAGMA data_version").fetchone()
    return int(version)


def _extra(module: str, extra: str) -> Any:
    """An optional dependency, imported when first used (untyped: neither ships stubs)."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{exc}; pip install 'tablora[{extra}]'") from exc


def _listed(rules: Mapping[str, list[str]]) -> str:
    return "; ".join(f"{name} ({', '.join(cols)})" for name, cols in rules.items()) or "none"


def _closing_rows(rows: Any) -> Generator[Row]:
    """The core's rows, its read closed (its snapshot released) when the caller stops
    early, when the generator is closed or collected."""
    try:
        yield from rows  # the loop runs in C: a third of the cost of a for loop
    finally:
        rows.close()


def _batched(rows: Iterator[Any], size: int) -> Iterator[list[Any]]:
    while batch := list(itertools.islice(rows, size)):
        yield batch


class _TextSource:
    """A CSV or JSON Lines source as text: a path (opened and closed here, with the
    readers' encoding rules), a text stream, or a binary stream decoded here."""

    def __init__(self, source: Any, encoding: str | None) -> None:
        self.source, self.encoding = source, encoding
        self.owned: Source | None = None
        self.wrapper: Any = None

    def __enter__(self) -> tuple[Any, str]:
        source = self.source
        if isinstance(source, (str, os.PathLike)):
            self.owned = Source(os.fspath(source), self.encoding)
            return self.owned.text(), self.owned.label
        label = str(getattr(source, "name", "<stream>"))
        if hasattr(source, "encoding") or hasattr(source, "newlines"):  # already text
            return source, label
        self.wrapper = io.TextIOWrapper(source, encoding=self.encoding or "utf-8-sig", newline="")
        return self.wrapper, label

    def __exit__(self, *exc: object) -> None:
        if self.owned is not None:
            self.owned.close()
        if self.wrapper is not None:
            self.wrapper.detach()  # the caller's stream stays open
