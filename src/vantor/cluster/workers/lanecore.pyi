# Channel-unit worker: verifies a unit's echoed settings, integrates counts,
# follows IV sweeps and supervises silence on the host's event loop.
from asyncio import TimerHandle
from typing import Any, ContextManager, Final, Optional, Union

import zmq
from typing_extensions import disjoint_base

CU_NORMAL: Final[int]            # 0
CU_IV: Final[int]                # 2
CU_END_IV: Final[int]            # 3
INTERVAL10MS: Final[float]       # 0.01 seconds per sequence step
UPDATEMESSAGEINTERVAL: Final[int]  # 10

_Shared = tuple[int, ContextManager[Any]]  # (address of the record, lock guarding it)

@disjoint_base
class SpeedUpProtocol:
    """Worker of one channel unit; the host uses it through a subclass.

    Errors of the host's setup: sending on a socket given as None raises
    ValueError("streamSock is not set") / ValueError("updateSock is not set");
    a shared-record address of 0 raises ValueError("<record> address is null").
    """

    # Handle of the pending silence call, or None. Deleting raises NotImplementedError.
    timer: Optional[TimerHandle]

    def __init__(
        self,
        rank: int,
        c_config: _Shared,
        c_backend: _Shared,
        streamSock: Optional[zmq.Socket],
        updateSock: Optional[zmq.Socket],
        timeout: float,
    ) -> None: ...
    # Frame 0 (bytes or bytearray, at least 60 bytes) holds one cu_message;
    # shorter frames raise ValueError before any state changes.
    def msg_received(self, msg: list[Union[bytes, bytearray, Any]]) -> None: ...
    # Hook: called after an update was sent, with the received record and the
    # update record as dictionaries keyed by field name.
    def onMismatch(self, data: dict[str, Union[int, float]], config: dict[str, Union[int, float]]) -> None: ...
    def reset_timer(self, timeout_time: float = 0.1) -> None: ...
    def handle_timeout(self) -> None: ...
    # Hook: a powered unit has been silent for the time-out.
    def onTimeout(self) -> None: ...
