"""Which process holds a Milvus Lite database file.

Milvus Lite locks ``.NAME.db.lock`` beside the file for as long as a process
has it open; a second process fails with an engine message that names no
one. The kernel's lock table (Linux ``/proc/locks``) says who holds it.
"""

import os
from typing import Optional, Tuple


def _lock_path(db: str) -> str:
    folder, name = os.path.split(os.path.abspath(db))
    return os.path.join(folder, f".{name}.lock")


def _command(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as stream:
            words = stream.read().split(b"\0")
    except OSError:
        return ""
    command = " ".join(w.decode("utf-8", "replace") for w in words if w)
    return command if len(command) <= 120 else command[:117] + "..."


def lock_holder(db: str) -> Optional[Tuple[int, str]]:
    """(pid, command line) of another process that holds the local database
    *db* open, or None: not held, held by this process, or not knowable here."""
    try:
        status = os.stat(_lock_path(db))
        with open("/proc/locks", encoding="ascii", errors="replace") as stream:
            table = stream.read().splitlines()
    except OSError:
        return None
    for line in table:
        fields = line.split()
        # "1: POSIX ADVISORY WRITE PID MAJOR:MINOR:INODE START END"; "->" marks a waiter.
        if len(fields) < 6 or fields[1] == "->" or not fields[4].isdigit():
            continue
        try:
            major, minor, inode = (int(part, base) for part, base in zip(fields[5].split(":"), (16, 16, 10)))
        except ValueError:
            continue
        if (major, minor, inode) == (os.major(status.st_dev), os.minor(status.st_dev), status.st_ino):
            pid = int(fields[4])
            if pid != os.getpid():
                return pid, _command(pid)
    return None


def in_use_message(db: str) -> Optional[str]:
    """Why *db* cannot be opened when another process holds it, or None."""
    holder = lock_holder(db)
    if holder is None:
        return None
    pid, command = holder
    who = f"process {pid} ({command})" if command else f"process {pid}"
    return (f"cannot open the database {db}: it is in use by {who}; "
            "a local database is open in one process at a time")
