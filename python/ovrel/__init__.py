"""ovrel: exact and fast change-point detection for NumPy series."""

from . import _ovrel_rs
from ._ovrel_rs import *  # noqa: F401,F403

__all__ = list(_ovrel_rs.__all__)
__version__ = _ovrel_rs.__version__
