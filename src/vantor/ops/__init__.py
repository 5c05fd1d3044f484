"""Operator workflows on top of the reference host: IV sweeps, recordings,
their files and plots, and reading them back."""
from .channels import OpsError, parse_channels
from .run import Channel, Run

__all__ = ["Channel", "OpsError", "Run", "parse_channels"]
