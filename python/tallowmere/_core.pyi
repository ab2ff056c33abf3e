"""The `tallowmere._core` native module."""

from typing import Any

__version__: str
__all__: list[str]

def core_version() -> str:
    """Return the version string of the compiled core."""

def dumps(obj: Any) -> bytes:
    """Serialize a Python object to msgpack bytes (tallowmere's stable, cross-language codec)."""

def loads(data: bytes) -> Any:
    """Deserialize msgpack bytes back into a Python object."""

# --- Store and Snapshot -------------------------------------------------------

# --- HandoffGraph -------------------------------------------------------------
