"""The names of tablora.tablora's own functions, as the extension declares them; made by the
extension when it is imported. Private: not part of the library's surface."""

FUNCTIONS: tuple[str, ...]
