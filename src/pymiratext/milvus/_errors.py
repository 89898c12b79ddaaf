"""What the collection layer raises, and how a database error becomes one line."""




class DatabaseError(RuntimeError):
    """The database cannot be opened or refused an operation."""


class CollectionNotFoundError(LookupError):
    """The database has no collection of that name."""


class CollectionExistsError(ValueError):
    """The database already has a collection of that name (pass replace=True to replace it)."""


class ModelMismatchError(RuntimeError):
    """The model does not hold the statistics the collection was indexed with."""


def _reason(exc: BaseException) -> str:
    message = getattr(exc, "message", None) or str(exc) or type(exc).__name__
    return " ".join(str(message).split())


def _amend_message(exc: BaseException, note: str) -> None:
    """Adds *note* to the message of *exc*, which is being raised."""
    if type(exc).__str__ is BaseException.__str__ and exc.args and isinstance(exc.args[0], str):
        exc.args = (f"{exc.args[0]}; {note}",) + exc.args[1:]
    elif not exc.args:
        exc.args = (note,)
    elif hasattr(exc, "add_note"):
        exc.add_note(note)
