# SPDX-License-Identifier: MIT
"""A reference server of one's own: vrelay-server started on a free port."""

import os
import shutil
import subprocess
import tempfile
from typing import IO, List, Optional, Sequence

from . import _library
from ._connection import Connection
from ._errors import ConnectFailed


def find_server() -> Optional[str]:
    """The vrelay-server program: $VRELAY_SERVER, else the one built or
    installed with the library in use, else the first on PATH."""
    explicit = os.environ.get("VRELAY_SERVER")
    if explicit:
        return explicit
    candidates: List[str] = []
    library = _library.loaded_path()
    if library:
        directory = os.path.dirname(library)
        # build/<dir>/client beside build/<dir>/server; <prefix>/lib[/<arch>]
        # beside <prefix>/bin.
        candidates.append(os.path.join(os.path.dirname(directory), "server", "vrelay-server"))
        for up in (1, 2):
            prefix = directory
            for _ in range(up):
                prefix = os.path.dirname(prefix)
            candidates.append(os.path.join(prefix, "bin", "vrelay-server"))
    on_path = shutil.which("vrelay-server")
    if on_path:
        candidates.append(on_path)
    for candidate in candidates:
        if os.access(candidate, os.X_OK):
            return candidate
    return None


class LocalServer:
    """Starts vrelay-server listening on 127.0.0.1 at a free port and stops it
    on close() (it is a context manager). ``engine`` is "espeak" or "tone";
    ``arguments`` go to the server as they are. The server's warnings go to
    standard error; with log=False nowhere (but why it could not start goes
    into the exception all the same)."""

    def __init__(self, engine: str = "espeak", program: Optional[str] = None,
                 arguments: Sequence[str] = (), log: bool = True) -> None:
        program = program or find_server()
        if program is None:
            raise ConnectFailed(-4, reason="no vrelay-server found (set VRELAY_SERVER to its "
                                           "path)")
        self.host = "127.0.0.1"
        errors: Optional[IO[bytes]] = None if log else tempfile.TemporaryFile()
        try:
            self._process: Optional["subprocess.Popen[str]"] = subprocess.Popen(
                [program, "--port", "0", "--engine", engine, "--log-level",
                 "warning" if log else "error", *arguments],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=errors, text=True)
            assert self._process.stdout is not None
            line = self._process.stdout.readline()  # "listening on ADDR:PORT"
            self._process.stdout.close()
            if not line.startswith("listening on "):
                self.close()
                why = ""
                if errors is not None:
                    errors.seek(0)
                    said = errors.read().decode(errors="replace").strip().splitlines()
                    why = ": " + said[-1] if said else ""
                raise ConnectFailed(-4, reason="%s did not start%s" % (program, why))
        finally:
            if errors is not None:
                errors.close()
        self.port = int(line.rsplit(":", 1)[1])

    @property
    def pid(self) -> Optional[int]:
        """The server's process id; None once closed."""
        return self._process.pid if self._process is not None else None

    def connect(self) -> Connection:
        """A new connection to this server."""
        return Connection(self.host, self.port)

    def close(self) -> None:
        """Stops the server and waits for it to end. Idempotent."""
        process, self._process = self._process, None
        if process is not None and process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def __enter__(self) -> "LocalServer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_process", None) is not None:
            self.close()
