"""The ``kestrel`` command: replace the face in pictures, folders of pictures and videos.

It chains the modules for every frame: five landmarks, ``facefit.align_face_ffhq``, the
swap, optional enhancement and segmentation, ``paste.PasteBack``. Run ``kestrel --help``
or ``python -m kestrel --help``; with no ``--target`` it runs an embedded default on
scikit-image's astronaut portrait with small stand-in networks.
"""

import importlib

# What the 'app' extra brings (pyproject.toml), by import name: the command names the
# extra when one of them is missing.
APP_MODULES = {"av": "av", "skimage": "scikit-image", "tqdm": "tqdm", "onnx": "onnx"}


class BadInput(Exception):
    """Something the user gave cannot be used; the text is the one line the command prints."""


def need(module: str, why: str):
    """Import an optional dependency of the command, or say how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.partition(".")[0]
        if top in APP_MODULES:
            raise BadInput(f"{why} needs the '{APP_MODULES[top]}' package: pip install 'kestrel[app]'") from None
        if top == "tensorrt":
            raise BadInput(f"{why} needs TensorRT: pip install 'kestrel[cuda,tensorrt]'") from None
        if top == "cv2":
            raise BadInput(f"{why} needs OpenCV: pip install opencv-python-headless") from None
        raise BadInput(f"{why} needs the '{top}' package") from None
