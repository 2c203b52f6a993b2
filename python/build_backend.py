# SPDX-License-Identifier: MIT
"""setuptools' build backend, failing with the way out when the 'wheel'
package is missing: setuptools before 70.1 makes wheels with it, a new
virtual environment lacks it, and setuptools then says only "invalid command
'bdist_wheel'"."""
import functools
import importlib.util

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403  (the hooks not wrapped here)

_MISSING_WHEEL = """\
vrelay: building the wheel needs the 'wheel' package, which this Python lacks.
  Online:  pip install wheel, then this command again (or leave out
           --no-build-isolation and let pip fetch it).
  Offline: create the environment with python3 -m venv --system-site-packages
           on a system that has it (Debian: apt install python3-wheel), or build
           the wheel with the system's Python and install that file:
             /usr/bin/python3 -m pip wheel --no-deps --no-index \\
                 --no-build-isolation ./python -w dist
             pip install --no-index dist/vrelay-*.whl"""


def _needing_wheel(hook):
    """The setuptools hook, first checking that wheels can be made."""
    @functools.wraps(hook)
    def checked(*args, **kwargs):
        if (importlib.util.find_spec("setuptools.command.bdist_wheel") is None
                and importlib.util.find_spec("wheel") is None):
            raise SystemExit(_MISSING_WHEEL)
        return hook(*args, **kwargs)
    return checked


# The hooks that make wheels or their metadata (the editable ones from
# setuptools 64 on).
for _hook in ("prepare_metadata_for_build_wheel", "build_wheel",
              "prepare_metadata_for_build_editable", "build_editable"):
    if hasattr(_setuptools, _hook):
        globals()[_hook] = _needing_wheel(getattr(_setuptools, _hook))
