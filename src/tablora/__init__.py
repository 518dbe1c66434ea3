"""Two-tier tables over SQLite; the functions live in tablora.tablora."""
