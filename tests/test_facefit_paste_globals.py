"""Alignment and paste-back with each module global they use replaced by a stand-in that
returns wrong types, wrong shapes, unusable strides or negative sizes. No call ever raises
SystemError (an error path returning NULL with no exception set) or crashes. A value that
is no array at all always ends in an ordinary exception, unless the stand-in ran last and
the caller gets its value back untouched; odd but real arrays may flow through."""

import numpy as np
import pytest

from kestrel import facefit, paste


class NegativeSize:
    """Poses as a float32 image of negative size."""

    shape, ndim, size, dtype = (-3, -4, 3), 3, -36, np.dtype(np.float32)


NOT_ARRAYS = {"None": lambda: None, "str": lambda: "wrong", "negative size": NegativeSize}
ODD_ARRAYS = {
    "wrong shape": lambda: np.zeros((5, 7, 2), np.float32),
    "float64": lambda: np.zeros((5, 7, 3)),
    "broadcast view": lambda: np.broadcast_to(np.float32(0.5), (3, 5, 3)),
}


class Standin:
    """A function that returns a fresh bad value and remembers it."""

    def __init__(self, make):
        self.make, self.returned = make, []

    def __call__(self, *args, **kwargs):
        self.returned.append(self.make())
        return self.returned[-1]


class Replaced:
    """`real` (a module or namespace) with the attribute at the dotted `path` replaced by
    `value`; each lookup of it is noted in `uses`."""

    def __init__(self, real, path, value, uses):
        head, _, rest = path.partition(".")
        self._real, self._head, self._uses = real, head, uses
        self._value = Replaced(getattr(real, head), rest, value, uses) if rest else value

    def __getattr__(self, name):
        if name != self._head:
            return getattr(self._real, name)
        if not isinstance(self._value, Replaced):
            self._uses.append(name)
        return self._value


def upright_face(cx, ey, d, e):
    return np.array([[cx - d / 2, ey], [cx + d / 2, ey], [cx, ey + e / 2],
                     [cx - 0.4 * d, ey + e], [cx + 0.4 * d, ey + e]])


def align_calls(xp):
    """Alignment through every step: shrink, crop, convert, pad and blend, warp, resize."""
    frame = xp.asarray(np.random.default_rng(0).integers(0, 256, (600, 800, 3), dtype=np.uint8))
    lm = upright_face(60, 300, 200, 220)  # quad side about 800: shrink 6, padding on the left
    return [lambda: facefit.align_face_ffhq(frame, lm, 64, 256)]


def paste_calls(xp):
    frame8 = xp.asarray(np.random.default_rng(0).integers(0, 256, (120, 160, 3), dtype=np.uint8))
    frame = xp.asarray(np.random.default_rng(1).random((120, 160, 3), dtype=np.float32))
    crop = xp.asarray(np.random.default_rng(2).random((48, 48, 3), dtype=np.float32))
    mask = np.ones((20, 30, 3), np.float32)  # on the host: a GPU frame brings it over
    M = np.array([[1.1, 0.2, -40.0], [-0.2, 1.1, -20.0]])
    return [lambda: paste.PasteBack().get(frame8, crop, M),
            lambda: paste.paste_back(frame, crop, M),
            lambda: paste.paste_back(frame, crop, M, mask)]


# module, its calls, the globals they use (dotted attribute paths; a bare name replaces the
# whole global) and those whose value the caller may get back as the result.
ALIGN_GLOBALS = ["rk", "rk.to_float32", "rk.resize", "rk.affine_transform", "rk.reflect_pad_fade", "rk.INTER_AREA", "np",
            "np.ascontiguousarray", "np.array", "cp", "cp.ndarray"]
PASTE_GLOBALS = ["rk", "rk.GaussianBlur", "rk.to_float32", "rk.resize", "rk.INTER_AUTO", "rk.get_inverse_matrix",
            "rk.paste_blend", "cp", "cp.ndarray", "paste_back"]
HOST = [
    (facefit, align_calls, ALIGN_GLOBALS + ["np.ndarray"],
     ("rk.resize",)),
    (paste, paste_calls, PASTE_GLOBALS + ["np", "np.ones", "np.float32"], ("paste_back", "rk.paste_blend")),
]
GPU = [
    (facefit, align_calls, ALIGN_GLOBALS + ["cp.float32"],
     ("rk.resize",)),
    (paste, paste_calls, PASTE_GLOBALS + ["cp.ones", "cp.asarray", "cp.float32", "cp.cuda.Device"],
     ("paste_back", "rk.paste_blend")),
]
# Used as values (dtypes, types, constants), not called: any value may serve there (None
# is the default dtype, an object with a dtype attribute names that dtype), so only
# SystemError is ruled out. None is no wrong value for the optional packages either: it
# means not installed.
VALUES = {"float32", "ndarray", "INTER_AREA", "INTER_AUTO"}
OPTIONAL = {"cp"}


def cases(table, marks=()):
    return [pytest.param(module, calls, path, last, marks=marks, id=f"{module.__name__}-{path}")
            for module, calls, paths, last in table for path in paths]


def run_with_bad_values(monkeypatch, xp, module, calls, path, last):
    head, _, rest = path.partition(".")
    real = target = getattr(module, head)
    if rest and real is None:
        pytest.skip(f"{head} is not installed")
    for name in rest.split(".") if rest else ():
        target = getattr(target, name)
    leaf = path.split(".")[-1]
    is_value = leaf in VALUES
    called = not is_value and callable(target)
    for bad, make in {**NOT_ARRAYS, **ODD_ARRAYS}.items():
        if bad == "None" and (is_value or path in OPTIONAL):
            continue
        standin, uses = Standin(make), []
        value = standin if called else make()
        monkeypatch.setattr(module, head, Replaced(real, rest, value, uses) if rest else value)
        for call in calls(xp):
            before = len(uses) + len(standin.returned)
            try:
                result = call()
            except SystemError as exc:
                pytest.fail(f"{path} -> {bad}: SystemError {exc}")
            except Exception:
                continue
            # A whole module replaced is used by every call.
            reached = len(uses) + len(standin.returned) > before or not (rest or called)
            if bad in NOT_ARRAYS and reached and not is_value:
                assert path in last and result is standin.returned[-1], (
                    f"{path} -> {bad}: the call returned {type(result).__name__} instead of raising")
        if called:
            assert standin.returned, f"{path} was never called"
        monkeypatch.setattr(module, head, real)


@pytest.mark.parametrize("module, calls, path, last", cases(HOST))
def test_bad_globals_raise_ordinary_exceptions_on_the_host(monkeypatch, module, calls, path, last):
    run_with_bad_values(monkeypatch, np, module, calls, path, last)


@pytest.mark.parametrize("module, calls, path, last", cases(GPU, marks=pytest.mark.gpu))
def test_bad_globals_raise_ordinary_exceptions_on_the_gpu(monkeypatch, module, calls, path, last):
    cp = pytest.importorskip("cupy")
    run_with_bad_values(monkeypatch, cp, module, calls, path, last)
