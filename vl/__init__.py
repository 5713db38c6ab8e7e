"""vl: content provenance for machine-learning data.

The native core lives in :mod:`vl._vl_native`; :mod:`vl.cli` is the ``vl``
command-line front end.
"""

from vl import _vl_native
from vl._vl_native import PanicException

__all__ = ["PanicException", "_vl_native"]
__version__ = "0.1.0"
