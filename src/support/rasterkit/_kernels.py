"""The CUDA kernel source and compile options that rasterkit._cuda hands to NVRTC.

Kept apart from _cuda (which needs CuPy) so that a machine without a GPU can still
compile exactly this text with nvcc and catch kernels that do not build.
"""

from __future__ import annotations

import functools
import pathlib

_HERE = pathlib.Path(__file__).parent

# NVRTC contracts a * b + c into fused multiply-adds by default; the CPU build does not
# (-ffp-contract=off), and both must round alike to give the same numbers.
OPTIONS = ("--std=c++17", "--fmad=false")


@functools.cache
def source() -> str:
    """kernels.cu with pixel_math.h pasted in place of its include.

    Inlined because CuPy's compile cache keys on the source text, so a changed header
    must change the text it sees. The header's include guard goes: in a main file it
    only draws a warning.
    """
    header = (_HERE / "pixel_math.h").read_text().replace("#pragma once\n", "", 1)
    return (_HERE / "kernels.cu").read_text().replace('#include "pixel_math.h"\n', header, 1)
