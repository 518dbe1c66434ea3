"""`python -m tablora`: the command-line tool."""

from tablora.cli import main

raise SystemExit(main())
