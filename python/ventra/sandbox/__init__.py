"""Run untrusted scripts in sandboxed child processes and filter their egress."""

from . import _native

__all__ = ["_native"]
