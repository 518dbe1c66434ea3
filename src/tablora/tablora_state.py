"""Process-wide registry of database handles, keyed by handle name."""

DB_dict = {}
