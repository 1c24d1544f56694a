"""kestrel: face-processing modules for face-replacement applications.

Import the modules you need: ``kestrel.swap``, ``kestrel.facefit``, ``kestrel.paste``,
``kestrel.segmentation``, ``kestrel.enhance`` and ``kestrel.vault``. Images are CuPy
arrays on the GPU or NumPy arrays on the CPU; results follow the input.
"""

__version__ = "0.1.0"
