"""The archive: what every unit, board and counter did, kept on disk.

`writer.ArchiveWriter` takes in the host's stream batches, snapshots and
events; `queries.series` and `export.export` read it back through a `Store`
(`sqlite_store.SQLiteStore` by default)."""
from .options import ArchiveOptions, parse_archive
from .store import ArchiveError, Batch, Store

__all__ = ["ArchiveOptions", "ArchiveError", "Batch", "Store", "parse_archive"]
