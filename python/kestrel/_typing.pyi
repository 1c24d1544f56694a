"""Types shared by the kestrel stubs (a stub-only module)."""

from typing import TYPE_CHECKING, Any, TypeAlias

import numpy

if TYPE_CHECKING:
    # Without CuPy installed the import resolves to Any, and so does the CuPy half of Array.
    import cupy  # type: ignore[import-not-found, unused-ignore]

    Array: TypeAlias = cupy.ndarray | numpy.ndarray
else:
    Array: TypeAlias = Any
