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

class HandoffGraph:
    """A deterministic routing graph over named nodes with conditional edges."""

    def __new__(cls, on_cycle: str = "error") -> HandoffGraph: ...
    @property
    def on_cycle(self) -> str:
        """Behaviour on cycle detection: `"error"` or `"allow"`."""
    def add_node(self, name: str) -> None:
        """Register a node with no edges (edges also register their endpoints)."""
    def add_edge(self, from_node: str, to: str, when: str | None = None) -> None:
        """Add a directed edge `from -> to`, optionally guarded by a `when` condition."""
    def route(self, node: str, state: Any = None) -> str | None:
        """Resolve the next node from `node` given `state`."""
    def nodes(self) -> list[str]:
        """All nodes in the graph (sorted for stable output)."""
    def edges(self, node: str) -> list[tuple[str, str | None]]:
        """Outgoing edges of `node` as `(to, when)` pairs, in insertion order."""
    def has_node(self, node: str) -> bool:
        """Whether `node` exists in the graph."""
    def is_dag(self) -> bool:
        """Whether the graph is currently acyclic."""
    def __contains__(self, node: str) -> bool: ...
    def __len__(self) -> int: ...
