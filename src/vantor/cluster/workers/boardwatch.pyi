# Microcontroller status monitor. Used through a host subclass that supplies
# `set_pll_lock(pllLock: int)`.
from typing import Any
from typing_extensions import disjoint_base

@disjoint_base
class SpeedUpProtocol:
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...  # arguments ignored
    def msg_received(self, msg_b: list[Any] | None) -> None:
        """Decodes the mcu_message at the start of frame 0 (bytes or bytearray).
        A frame shorter than 12 bytes raises ValueError before any report."""
    def on_temp(self, temp1: float, temp2: float) -> None:
        """This function has to be overwritten.
        It tells the program what to do with new temperature data"""
    def on_status_change(self, status: object) -> None:
        """This function has to be overwritten.
        It tells the program what to do with a new status"""
