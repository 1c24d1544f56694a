"""cupyx emulated on the host (scipy.ndimage only)."""
from . import scipy  # noqa: F401
