"""Simulator of the read-out electronics, speaking the wire protocol over UDP."""
from .faults import Faults, parse_pair
from .simulator import Simulator
from .unit import Response, SimUnit

__all__ = ["Faults", "Response", "SimUnit", "Simulator", "parse_pair"]
