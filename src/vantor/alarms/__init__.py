"""Alarms: conditions checked against the host, states operators acknowledge,
and a command run per transition."""
from .alarm import Alarm
from .conditions import ConditionChecker
from .engine import AlarmEngine, UnknownAlarm
from .hook import HookRunner
from .options import AlarmOptions, parse_alarms

__all__ = ["Alarm", "AlarmEngine", "AlarmOptions", "ConditionChecker", "HookRunner",
           "UnknownAlarm", "parse_alarms"]
