"""rk.fold_class_masks against the plain NumPy formulation it replaces (softmax over the
class axis, argmax, the class table compared entry by entry, einsum over categories),
bit for bit, on the host and on a GPU."""

import numpy as np
import pytest

import rasterkit as rk

TABLE = [[1, 3, 14, 15, 16, 17, 18], [2, 4, 5], [6, 7, 8, 9, 10, 11, 12, 13]]


def columns(table):
    indices = np.array([k for group in table for k in group])
    categories = np.array([c for c, group in enumerate(table) for _ in group])
    return indices, categories


def plain_masks(preds, table):
    """The formulation written out: (N, 3, H, W) float32."""
    all_indices, category_ids = columns(table)
    with np.errstate(all="ignore"):
        top = np.max(preds, axis=1, keepdims=True)
        e = np.exp(preds - top)
        prob = e / np.sum(e, axis=1, keepdims=True)
    pred = np.argmax(prob, axis=1)
    all_matches = (pred[..., np.newaxis] == all_indices[np.newaxis, np.newaxis, np.newaxis, :]).astype(np.float32)
    category_masks = np.arange(len(table))[:, np.newaxis] == category_ids[np.newaxis, :]
    counts = np.sum(np.einsum("nijk,mk->mnijk", all_matches, category_masks.astype(np.float32)), axis=-1)
    return np.stack([np.stack([counts[0, i], counts[1, i], counts[2, i]], axis=0) for i in range(preds.shape[0])])


def near_ties(rng, n=4, h=16, w=32, classes=19):
    """Logits where a lower class sits a few units in the last place below the maximum
    (or on it): the probabilities of different logits often round to one value there,
    and then the lower class wins."""
    # Near 1 the exponentials are spaced 2**-24 apart, so maxima below 1 in magnitude
    # make differences of a few units in their last place vanish in exp.
    preds = rng.standard_normal((n, classes, h, w)).astype(np.float32) - 3
    top = (rng.random((n, h, w)) * 1.4 - 0.7).astype(np.float32)
    high, low = rng.integers(1, classes, (n, h, w)), rng.integers(0, classes, (n, h, w))
    low = np.minimum(low, high - 1)
    steps = rng.integers(0, 6, (n, h, w))
    below = top.copy()
    for _ in range(steps.max()):
        below = np.where(steps > 0, np.nextafter(below, np.float32(-np.inf)), below)
        steps = steps - 1
    np.put_along_axis(preds, high[:, None], top[:, None], axis=1)
    np.put_along_axis(preds, low[:, None], below[:, None], axis=1)
    return preds


def cases(rng):
    """(name, preds, table) triples covering what the folding must get right."""
    random = rng.standard_normal((3, 19, 24, 40)).astype(np.float32) * 3
    crafted = np.full((1, 19, 2, 4), -5.0, np.float32)
    for x, k in enumerate([0, 2, 18, 7]):   # class 0 (no category), 2, 18, 7
        crafted[0, k, 0, x] = 4.0
    crafted[0, [3, 9], 1, 0] = 6.0          # an exact tie: class 3
    crafted[0, [16, 17], 1, 1] = np.inf     # an infinite maximum: class 0
    crafted[0, 5, 1, 2] = np.nan            # NaN: class 0
    crafted[0, :, 1, 3] = -np.inf           # all -inf: class 0
    nhwc = rng.standard_normal((2, 20, 24, 19)).astype(np.float32)
    return [
        ("random", random, TABLE),
        ("near ties", near_ties(rng), TABLE),
        ("crafted", crafted, TABLE),
        ("listed twice", random, [[1, 3], [2, 5, 5, 4], [6, 6, 6]]),
        ("four categories", random, TABLE[:2] + [[6, 7, 8]] + [[9, 10, 11]]),
        ("empty category", random, [[1], [], [2, 3]]),
        ("few classes", rng.standard_normal((2, 3, 5, 7)).astype(np.float32), [[0], [1], [2]]),
        ("channels last", nhwc.transpose(0, 3, 1, 2), TABLE),
        ("reversed", random[:, ::-1, ::-1, ::2], TABLE),
    ]


@pytest.mark.parametrize("name", [name for name, _, _ in cases(np.random.default_rng(0))])
def test_fold_class_masks_is_the_plain_formulation_bit_for_bit(name):
    _, preds, table = next(c for c in cases(np.random.default_rng(11)) if c[0] == name)
    # The class-order sum is NumPy's for the contiguous layout.
    expected = plain_masks(np.ascontiguousarray(preds), table)
    got = rk.fold_class_masks(preds, *columns(table), len(table))
    assert got.dtype == np.float32 and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


def test_rounding_ties_are_exercised():
    # The near-tie case is only a test if rounding does pick lower classes there.
    preds = near_ties(np.random.default_rng(11))
    with np.errstate(all="ignore"):
        e = np.exp(preds - preds.max(axis=1, keepdims=True))
    by_prob, by_logit = np.argmax(e / e.sum(axis=1, keepdims=True), axis=1), np.argmax(preds, axis=1)
    assert (by_prob < by_logit).sum() > 20


def test_fold_class_masks_errors_and_edges():
    preds = np.zeros((2, 19, 4, 4), np.float32)
    indices, categories = columns(TABLE[:2])
    with pytest.raises(IndexError, match="index 2 is out of bounds for axis 0 with size 2"):
        rk.fold_class_masks(preds, indices, categories, 2)
    empty = rk.fold_class_masks(preds[:0], indices, categories, 2)
    assert empty.shape == (0, 3, 4, 4) and empty.dtype == np.float32
    one = rk.fold_class_masks(preds, *columns(TABLE), 3, channels=1)
    assert one.shape == (2, 1, 4, 4) and not one.any()  # class 0 everywhere
    with pytest.raises(TypeError, match="float32"):
        rk.fold_class_masks(preds.astype(np.float64), *columns(TABLE), 3)
    with pytest.raises(TypeError, match="integers"):
        rk.fold_class_masks(preds, indices.astype(np.float32), categories, 3)
    with pytest.raises(ValueError, match="length"):
        rk.fold_class_masks(preds, indices[:-1], categories, 3)
    with pytest.raises(ValueError, match="N, K, H, W"):
        rk.fold_class_masks(preds[0], *columns(TABLE), 3)


@pytest.mark.gpu
def test_gpu_fold_class_masks_matches_the_plain_formulation():
    import cupy as cp

    for name, preds, table in cases(np.random.default_rng(12)):
        expected = plain_masks(np.ascontiguousarray(preds), table)
        indices, categories = columns(table)
        d_preds = cp.asarray(np.ascontiguousarray(preds))
        if name == "reversed":
            d_preds = cp.asarray(np.ascontiguousarray(preds[:, ::-1, ::-1, ::-1]))[:, ::-1, ::-1, ::-1]
        for table_side in (cp.asarray, np.asarray):
            got = rk.fold_class_masks(d_preds, table_side(indices), table_side(categories), len(table))
            assert isinstance(got, cp.ndarray), name
            np.testing.assert_array_equal(cp.asnumpy(got), expected, err_msg=name)
    with pytest.raises(IndexError, match="index 2 is out of bounds"):
        rk.fold_class_masks(cp.zeros((1, 19, 2, 2), cp.float32), *map(cp.asarray, columns(TABLE[:2])), 2)
