"""Operator workflows on top of the reference host: IV sweeps, recordings,
their files and plots, and reading them back.

    from vantor.ops import read
    run = read("iv.h5")          # any .h5 or .csv file written by vantor
    for ch in run.channels:
        ch.rank, ch.label, ch.data["counts"], ch.config["biasSweepT"]
"""
from .channels import OpsError, parse_channels
from .files import read, write
from .run import Channel, Log, Run

__all__ = ["Channel", "Log", "OpsError", "Run", "parse_channels", "read", "write"]
