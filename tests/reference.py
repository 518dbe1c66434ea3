"""A literal, row-at-a-time model of the merge, the query and the resolver.

The property tests compare the extension against this module. It follows the
documented steps one by one, through the sqlite3 driver only, and favours
plainness over speed: one lookup per row and rule, recursion for linked rows.

Behaviour fixed beyond the plain steps, and modelled here:

* The merge reads the staging table with its row ids, newest first, keeps each
  row without its row id, and afterwards deletes only the staged rows whose
  row id is at most the highest one it read (nothing when it read none).
* The query records a row's keys in its duplicate-check sets only when it
  returns the row.
* A negative rule position names the column that far from the end of the
  column list; in a full row (row id first) its value sits one place further
  on, exactly as for a non-negative position.
"""

import sqlite3  # noqa: F401  (the only way this module reaches the database)

__all__ = ["temp_to_main", "find", "check_newest_unique", "unique_rules", "columns",
           "full_select"]


def text(value):
    """The text form of a value, as it is spliced into statements."""
    return format(value, "")


# ---- shared readers -----------------------------------------------------------------


def columns(cursor, table):
    """The main table's column names, in table order."""
    return [info[1] for info in cursor.execute("PRAGMA table_info(" + text(table) + ")").fetchall()]


def full_select(cols):
    """'rowid' followed by ',<column>' for every column."""
    total_select = "rowid"
    for name in cols:
        total_select += "," + text(name)
    return total_select


def unique_rules(cursor, table):
    """Rule name -> list of positions, in catalogue order (a repeated name keeps its place)."""
    uniques = {}
    for row in cursor.execute(
        "SELECT * FROM unique_table WHERE table_name = '" + text(table) + "'"
    ).fetchall():
        uniques[row[1]] = [int(piece) for piece in row[3].split(",")]
    return uniques


def _column(cols, k):
    """Index of the column at position k (negative counts from the end)."""
    return range(len(cols))[k]


def _member(full_row, cols, k):
    """The value of the column at position k in a full row (row id first)."""
    return full_row[_column(cols, k) + 1]


def _where(search_code):
    col_search = text(search_code[0][0]) + " = ? "
    values = [search_code[0][1]]
    for name, value in search_code[1:]:
        col_search += "AND " + text(name) + " = ? "
        values.append(value)
    return col_search, values


# ---- the resolver -------------------------------------------------------------------


def check_newest_unique(conn, table, rowid, row, uniques, cols, total_select, eqivalent_set):
    """(True, eqivalent_set) when no row linked to `row` is newer than `rowid`, else (False, None)."""
    cursor = conn.cursor()
    for positions in uniques.values():
        search_code = [[cols[k], _member(row, cols, k)] for k in positions]
        if not search_code:
            continue
        col_search, values = _where(search_code)
        for tier, prefix in ((1, " FROM temp_"), (0, " FROM ")):
            fetched = cursor.execute(
                "SELECT " + text(total_select) + prefix + text(table) + " WHERE " + col_search,
                values,
            ).fetchall()
            for res in fetched:
                new_rowid = (tier, res[0])
                if new_rowid in eqivalent_set:
                    continue
                eqivalent_set.add(new_rowid)
                if new_rowid[0] > rowid[0]:
                    return (False, None)
                if new_rowid[0] == rowid[0] and new_rowid[1] > rowid[1]:
                    return (False, None)
                result, eqivalent_set = check_newest_unique(
                    conn=conn, table=table, rowid=rowid, row=res, uniques=uniques, cols=cols,
                    total_select=total_select, eqivalent_set=eqivalent_set,
                )
                if not result:
                    return (False, None)
    return (True, eqivalent_set)


# ---- the query ----------------------------------------------------------------------


def find(conn, select, table, conditions):
    """Rows of both tiers, staged first, each the newest of its linked rows."""
    cursor = conn.cursor()
    cols = columns(cursor, table)
    total_select = full_select(cols)
    uniques = unique_rules(cursor, table)
    tekrar = {name: set() for name in uniques}
    if select == "*":
        cols_index = list(range(len(cols)))
    else:
        cols_index = [cols.index(piece) for piece in select.split(",")]
    docs = []
    for tier, prefix in ((1, " FROM temp_"), (0, " FROM ")):
        fetched = cursor.execute(
            "SELECT " + total_select + prefix + text(table) + " " + text(conditions)
        ).fetchall()
        for row in fetched:
            keys = {
                name: tuple(_member(row, cols, k) for k in positions)
                for name, positions in uniques.items()
            }
            if any(keys[name] in tekrar[name] for name in uniques):
                continue
            verdict = check_newest_unique(
                conn=conn, table=table, rowid=(tier, row[0]), row=row, uniques=uniques,
                cols=cols, total_select=total_select, eqivalent_set={(tier, row[0])},
            )[0]
            if not verdict:
                continue
            for name in uniques:
                tekrar[name].add(keys[name])
            docs.append([row[c + 1] for c in cols_index])
    return docs


# ---- the merge ----------------------------------------------------------------------


def begin_before_schema_change(conn, cursor):
    """Schema statements join the connection's transaction, as DML does."""
    if not conn.in_transaction and conn.isolation_level is not None:
        cursor.execute("BEGIN " + conn.isolation_level)


def drop_table_index(conn, table):
    cursor = conn.cursor()
    lst_ind = [row[1] for row in cursor.execute(
        "SELECT * FROM sqlite_master WHERE type = 'index'").fetchall() if row[2] == table]
    for name in lst_ind:
        begin_before_schema_change(conn, cursor)
        cursor.execute("DROP INDEX if exists " + name)


def active_table_index(conn, table):
    cursor = conn.cursor()
    for row in cursor.execute(
        "SELECT * FROM index_table WHERE table_name = '" + text(table) + "'"
    ).fetchall():
        begin_before_schema_change(conn, cursor)
        cursor.execute(
            "CREATE INDEX if not exists " + text(row[0]) + "_" + text(row[1]) + " ON "
            + text(row[0]) + " (" + text(row[2]) + ")"
        )


def delete_row_main(conn, table, ids):
    cursor = conn.cursor()
    for j in ids:
        cursor.execute("DELETE From " + text(table) + " Where rowid in (" + text(j) + ")")


def insert_main(conn, table, rows):
    cursor = conn.cursor()
    if not len(rows):
        return
    val_str = "?" + ",?" * (len(rows[0]) - 1)
    for row in rows:
        cursor.execute("INSERT INTO " + table + " Values (" + val_str + ")", list(row))


def temp_to_main(conn, table, comm=True):
    """Moves the staged rows into the main table, newest of each rule's tuple winning."""
    cursor = conn.cursor()
    cols = columns(cursor, table)
    uniques = unique_rules(cursor, table)
    tekrar = {name: set() for name in uniques}
    origin_ids = set()
    docs = []
    staged = cursor.execute(
        "SELECT rowid,* FROM temp_" + text(table) + " ORDER BY rowid DESC").fetchall()
    for full in staged:
        row = tuple(full[1:])
        flag = False
        for name, positions in uniques.items():
            tekrar_key = tuple(row[k] for k in positions)
            search_code = [[cols[k], row[k]] for k in positions]
            if tekrar_key in tekrar[name]:
                flag = True
                continue
            tekrar[name].add(tekrar_key)
            col_search, values = _where(search_code)
            for row1 in cursor.execute(
                "SELECT rowid FROM " + text(table) + " WHERE " + col_search, values
            ).fetchall():
                origin_ids.add(row1[0])
        if not flag:
            docs.append(row)
    drop_table_index(conn, table)
    delete_row_main(conn, table, origin_ids)
    insert_main(conn, table, docs)
    if staged:
        cursor.execute("DELETE From temp_" + text(table) + " WHERE rowid <= ?", [staged[0][0]])
    active_table_index(conn, table)
    if comm == True:  # noqa: E712  (true or 1 commits, nothing else does)
        conn.commit()
