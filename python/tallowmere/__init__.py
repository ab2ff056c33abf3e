"""tallowmere: checkpoint and state store, MessagePack codec and routing graph for agent frameworks.

Everything public lives in the native module :mod:`tallowmere._core` and is re-exported here.
"""

from . import _core
from ._core import *  # noqa: F403  (re-exports exactly _core.__all__)
from ._core import __version__

__all__ = list(_core.__all__)

if _core.core_version() != __version__:  # pragma: no cover - a mismatched build
    raise ImportError(
        f"tallowmere._core {_core.core_version()} does not match the package {__version__}"
    )
