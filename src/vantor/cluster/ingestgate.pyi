# Datagram ingest broker. Used through a host subclass that supplies instance
# attribute storage (for `device_addresses`) and `log_firmware_version`.
import logging
from typing import Any, Iterable
from typing_extensions import disjoint_base

MSG_SIZE: int  # 60, the size of one cu_message record
logger: logging.Logger  # "vantor.cluster.ingestgate"; INFO lines only

@disjoint_base
class SpeedUpProtocol:
    # Set by the constructor in the subclass's attribute storage: keys are the
    # first byte of a datagram, values the sender addresses.
    device_addresses: dict[bytes, Any] | None

    def __init__(
        self,
        MAXFAILS: int,
        total_devices: int,
        total_mcus: int,
        c_backend: Iterable[Any],
        device_addresses: dict[bytes, Any] | None,
        CUIDS: set[tuple[int, int]] | None,
        logmsg: object,
    ) -> None:
        """The three counts are uint32. `c_backend` yields (address, lock) of the
        shared C_Backend record. The queue holds 2 x total_mcus datagrams (32-bit);
        a total_mcus of 0, or one whose capacity wraps to 0, raises ValueError
        because such a queue would never be drained."""
    @property
    def inited(self) -> bool: ...
    @inited.setter
    def inited(self, value: object) -> None: ...  # deleting raises NotImplementedError
    def msg_received(self, msg: bytes | None, addr: tuple[Any, ...] | None) -> None:
        """Queues one datagram (by the uint32 at bytes 8..11, then its bytes) and
        drains the queue when full. A datagram whose length is not a multiple of
        60 has its whole records handled, then raises ValueError at the short
        piece, which is dropped unread; datagrams not yet drained stay queued.
        An empty datagram holds no record."""
    # Hooks: the defaults check their arguments and do nothing.
    def on_sync_success(self, chunk: bytes | None) -> None: ...
    def on_sync_failed(self) -> None: ...
    def log_msg(self, msg: bytes | None) -> None: ...
    def on_finally(self, channelID: bytes | None, data: dict[str, int | float] | None) -> None: ...
    def on_missing(self, mcuId: int, cuId: int) -> None: ...
    # Supplied by the host's subclass only:
    # def log_firmware_version(self, msg: bytes) -> object: ...
