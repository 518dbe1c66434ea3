"""The one error the tool reports as a plain line: bad input or an unusable database."""


class CliError(Exception):
    """Bad input or a state the command cannot work with: one line for the user."""
