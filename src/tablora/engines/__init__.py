"""Database engines other than a local SQLite file, behind sqlite3's interface.

`tablora.connect(target)` picks the engine from the target; the adapters here
make each driver's connection behave like a sqlite3 connection in its
default (legacy) transaction mode, which is what `tablora.tablora` expects.
"""
