"""The kestrel command: the crop matrix, landmarks, stand-in networks, the command end to end,
bad input and Ctrl-C."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

av = pytest.importorskip("av")
skimage_data = pytest.importorskip("skimage.data")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

import rasterkit as rk  # noqa: E402
from kestrel.app import BadInput, cli, models, standins  # noqa: E402
from kestrel.app.demo import make_clip  # noqa: E402
from kestrel.app.faces import (CascadeDetector, astronaut_landmarks, ffhq_crop_matrix,  # noqa: E402
                               load_landmarks, transform_points)
from kestrel.facefit import align_face_ffhq  # noqa: E402
from kestrel.paste import paste_back  # noqa: E402


@pytest.fixture(scope="module", autouse=True)
def cache(tmp_path_factory):
    """Stand-in networks built once for the module, in a cache of its own."""
    folder = tmp_path_factory.mktemp("cache")
    old = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(folder)
    yield folder
    if old is None:
        del os.environ["XDG_CACHE_HOME"]
    else:
        os.environ["XDG_CACHE_HOME"] = old


@pytest.fixture(scope="module")
def portrait():
    return skimage_data.astronaut()


@pytest.fixture(scope="module")
def clip(tmp_path_factory, portrait):
    """A 50-frame clip with sound, its landmarks file and an identity."""
    folder = tmp_path_factory.mktemp("clip")
    matrices = make_clip(str(folder / "clip.mp4"), portrait, 50)
    (folder / "lm.json").write_text(json.dumps(
        [transform_points(M, astronaut_landmarks()).tolist() for M in matrices]))
    np.save(folder / "identity.npy", models.default_latent())
    return folder


def read_video(path):
    with av.open(str(path)) as c:
        frames = [f.to_ndarray(format="rgb24") for f in c.decode(video=0)]
        audio = [s.codec_context.name for s in c.streams.audio]
    return frames, audio


# ---------------------------------------------------------------- the crop's matrix


def blob_frame(h, w, points, sigma=3.0):
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    frame = np.full((h, w, 3), 0.3, np.float32)
    for c, (x, y) in enumerate(points):
        frame[..., c % 3] += 0.6 * np.exp(-((xx - x) ** 2 + (yy - y) ** 2) / (2 * sigma**2))
    return frame


def centroid(image, channel, near, radius):
    x0, y0 = (int(round(v)) for v in near)
    win = np.clip(image[y0 - radius:y0 + radius + 1, x0 - radius:x0 + radius + 1, channel] - 0.32, 0, None)
    yy, xx = np.mgrid[-radius:radius + 1, -radius:radius + 1]
    return np.array([x0 + (win * xx).sum() / win.sum(), y0 + (win * yy).sum() / win.sum()])


def tilted_face(cx, cy, d, angle):
    c, s = np.cos(angle), np.sin(angle)
    base = np.array([[-0.5, 0], [0.5, 0], [0, 0.55], [-0.4, 1.0], [0.4, 1.0]]) * d
    return base @ np.array([[c, s], [-s, c]]) + (cx, cy)


@pytest.mark.parametrize("size, lm, sigma", [
    ((400, 640), tilted_face(320, 200, 60, 0.2), 2.5),     # inside the frame, no shrink
    ((720, 1280), tilted_face(640, 250, 270, -0.1), 8.0),  # a large face: the frame is shrunk first
    ((400, 640), tilted_face(70, 60, 70, 0.3), 2.5),       # at the corner: the frame is mirror-padded
])
def test_pasting_back_through_the_matrix_lands_where_alignment_cut(size, lm, sigma):
    frame = blob_frame(*size, lm[[0, 1, 3]], sigma)
    M = ffhq_crop_matrix(lm, frame.shape[:2])
    crop = align_face_ffhq(frame, lm)
    # Each blob sits in the crop where the matrix says ...
    for c, point in enumerate(lm[[0, 1, 3]]):
        expected = transform_points(M, [point])[0]
        radius = max(4, int(3 * sigma * np.hypot(*M[:, 0])))
        np.testing.assert_allclose(centroid(crop, c, expected, radius), expected, atol=0.25)
    # ... and the crop pasted back through it reproduces the frame under it.
    pasted = paste_back(frame, crop, M)
    rows, cols = np.mgrid[0:size[0], 0:size[1]]
    u, v = (M[k, 0] * cols + M[k, 1] * rows + M[k, 2] for k in (0, 1))
    inside = (u > 40) & (u < 216) & (v > 40) & (v < 216)  # clear of the crop's edges
    assert inside.sum() > 500
    assert np.abs(pasted - frame)[inside].mean() < 0.004


def test_no_matrix_for_degenerate_or_outside_faces():
    assert ffhq_crop_matrix(np.zeros((5, 2)), (100, 100)) is None
    assert ffhq_crop_matrix(tilted_face(-500, -500, 30, 0), (100, 100)) is None


# ---------------------------------------------------------------- landmarks


def test_landmark_files(tmp_path):
    face = np.arange(10.0).reshape(5, 2)
    (tmp_path / "one.json").write_text(json.dumps(face.tolist()))
    (tmp_path / "frames.json").write_text(json.dumps({"landmarks": [face.tolist(), None]}))
    np.save(tmp_path / "frames.npy", np.stack([face, np.full((5, 2), np.nan)]))
    (one,) = load_landmarks(str(tmp_path / "one.json"))
    np.testing.assert_array_equal(one, face)
    for name in ("frames.json", "frames.npy"):
        first, second = load_landmarks(str(tmp_path / name))
        np.testing.assert_array_equal(first, face)
        assert second is None


@pytest.mark.parametrize("content, words", [
    (np.zeros((4, 2)), "shape (4, 2)"),
    (np.zeros((3, 5, 3)), "shape (5, 3)"),
    ([[[1, 2]] * 5, [[1, 2]] * 4], "frame 1"),
    ([["a", "b"]] * 5, "five (x, y) points"),
    ([[1, float("inf")]] * 5, "finite"),
    ({"other": 1}, "expected five"),
])
def test_landmark_files_refused(tmp_path, content, words):
    if isinstance(content, np.ndarray):
        path = tmp_path / "bad.npy"
        np.save(path, content)
    else:
        path = tmp_path / "bad.json"
        path.write_text(json.dumps(content))
    with pytest.raises(BadInput, match=words.replace("(", r"\(").replace(")", r"\)")):
        load_landmarks(str(path))


def test_stored_portrait_landmarks_and_the_default_detector_agree(portrait):
    stored = astronaut_landmarks()
    gray = portrait.astype(np.float32).mean(axis=2)
    for x, y in stored[:2]:  # the eye points sit on the dark pupils
        x, y = int(round(x)), int(round(y))
        assert gray[y, x] < np.percentile(gray[y - 8:y + 9, x - 8:x + 9], 20)
    found = CascadeDetector()(portrait)
    eye_distance = np.linalg.norm(stored[1] - stored[0])
    assert np.linalg.norm(found - stored, axis=1).max() < 0.2 * eye_distance
    assert CascadeDetector()(np.full((240, 320, 3), 128, np.uint8)) is None


# ---------------------------------------------------------------- stand-in networks


def test_standin_swap_is_deterministic_and_follows_the_identity(portrait):
    from kestrel.swap import OnnxFaceSwap

    swap = OnnxFaceSwap(standins.standin_path("swap"), None, "cpu")
    crop = align_face_ffhq(portrait, astronaut_landmarks())
    a, b = models.default_latent(), models._unit(np.random.default_rng(1).standard_normal((1, 512)))
    first = swap.get(crop, a.copy())
    np.testing.assert_array_equal(first, swap.get(crop, a.copy()))
    assert np.abs(first - crop).mean() > 0.1
    assert np.abs(first - swap.get(crop, b.astype(np.float32))).mean() > 0.1


def test_standin_parser_marks_skin_as_the_face_category():
    from kestrel.segmentation import OnnxFaceSegmentation

    parser = OnnxFaceSegmentation(standins.standin_path("parse"), None, "cpu")
    image = np.empty((64, 64, 3), np.float32)
    image[:, :32] = (0.9, 0.74, 0.64)  # skin
    image[:, 32:] = (0.5, 0.5, 0.5)
    image[:8] = (0.55, 0.46, 0.3)  # brown hair
    masks = parser.composite_masks(parser.forward(rk.images_to_batch([image], std=parser.input_std,
                                                                      size=parser.input_size,
                                                                      mean=parser.input_mean)))
    face = rk.resize(np.ascontiguousarray(masks[0, 0]), (64, 64), rk.INTER_NEAREST)
    assert face[12:, :28].min() == 1 and face[:, 36:].max() == 0 and face[:6].max() == 0
    assert masks[0, 1:].max() == 0


def test_standin_enhancer_sharpens():
    from scipy.ndimage import gaussian_filter, laplace

    from kestrel.enhance import OnnxFaceEnhance

    enhancer = OnnxFaceEnhance(standins.standin_path("enhance"), None, "cpu")
    soft = gaussian_filter(np.random.default_rng(0).random((512, 512, 3), np.float32), (2, 2, 0)) * 0.5 + 0.25
    sharp = enhancer.get(soft)
    assert abs(sharp.mean() - soft.mean()) < 0.01
    assert np.abs(laplace(sharp[..., 0])).mean() > 1.2 * np.abs(laplace(soft[..., 0])).mean()


# ---------------------------------------------------------------- identity and device


def test_identity_from_pictures_and_a_matrix(tmp_path, portrait):
    from skimage.io import imsave

    from kestrel import vault

    imsave(tmp_path / "face.png", portrait)
    imsave(tmp_path / "mirrored.png", np.ascontiguousarray(portrait[:, ::-1]))
    detector = CascadeDetector()
    face = models.source_latent(str(tmp_path / "face.png"), None, detector)
    assert face.shape == (1, 512) and face.dtype == np.float32 and np.isclose(np.linalg.norm(face), 1)
    np.testing.assert_array_equal(face, models.source_latent(str(tmp_path / "face.png"), None, detector))
    mirrored = models.source_latent(str(tmp_path / "mirrored.png"), None, detector)
    assert float((face @ mirrored.T)[0, 0]) < 0.99
    vault.save(np.eye(512, dtype=np.float32)[::-1] * 3, str(tmp_path / "reverse.bin"))
    np.testing.assert_allclose(models.apply_matrix(face, str(tmp_path / "reverse.bin")), face[:, ::-1], atol=1e-6)


@pytest.mark.parametrize("requested, gpus, ort_cuda, expected", [
    (None, 0, True, "cpu"),
    (None, 1, False, "cpu"),  # a GPU that ONNX Runtime cannot use
    (None, 1, True, "cuda:0"),
    ("cuda:1", 2, True, "cuda:1"),
    ("cuda:2", 2, True, "only 2 CUDA GPUs"),
    ("cuda", 1, False, "no CUDA provider"),
    ("cuda", 0, True, "no CUDA GPU is visible"),
    ("gpu", 1, True, "expected cpu, cuda or cuda:N"),
])
def test_device_choice(monkeypatch, requested, gpus, ort_cuda, expected):
    monkeypatch.setattr(models, "cupy_or_none", lambda: object())
    monkeypatch.setattr(models, "gpu_count", lambda cp: gpus)
    monkeypatch.setattr(models, "_ort_has_cuda", lambda: ort_cuda)
    if expected in ("cpu", "cuda:0", "cuda:1"):
        assert models.choose_device(requested, "onnx") == expected
    else:
        with pytest.raises(BadInput, match=expected):
            models.choose_device(requested, "onnx")


# ---------------------------------------------------------------- the command


def kestrel(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "kestrel", *args], capture_output=True, text=True,
                          env=dict(os.environ), **kwargs)


def test_embedded_default_end_to_end(tmp_path, portrait):
    out = tmp_path / "demo"
    done = kestrel("--output", str(out), "--max-frames", "6", "--device", "cpu", timeout=300)
    assert done.returncode == 0, done.stderr
    for stage in ("decode", "detect", "align", "swap", "enhance", "segment", "paste", "encode"):
        assert f"\n{stage} " in done.stdout
    assert "frames/s" in done.stdout and "stand-in" in done.stdout and "--swap-model" in done.stdout

    from skimage.io import imread

    result = imread(out / "astronaut_swapped.png")
    face = np.s_[110:135, 200:250]  # cheeks and nose
    assert np.abs(result[face].astype(int) - portrait[face]).mean() > 20
    np.testing.assert_array_equal(result[300:], portrait[300:])  # far from the face: untouched
    assert imread(out / "astronaut_swapped_before_after.png").shape[1] > 2 * 480

    clip, clip_audio = read_video(out / "clip.mp4")
    swapped, swapped_audio = read_video(out / "clip_swapped.mp4")
    assert len(clip) == len(swapped) == 6 and swapped_audio == clip_audio == ["aac"]
    points = json.loads((out / "clip_landmarks.json").read_text())
    for before, after, lm in zip(clip, swapped, points):
        x, y = np.mean(lm, axis=0).astype(int)
        face = np.s_[y - 10:y + 10, x - 15:x + 15]
        assert np.abs(after[face].astype(int) - before[face]).mean() > 15
    assert (out / "clip_swapped_before_after.png").exists()
    assert not [p for p in os.listdir(out) if "partial" in p]


def test_folder_of_frames(tmp_path, portrait, capsys):
    from skimage.io import imread, imsave

    frames = tmp_path / "frames"
    frames.mkdir()
    imsave(frames / "a.png", portrait[:300, 50:450])
    imsave(frames / "b.png", portrait[20:320, 80:480])
    imsave(frames / "c.png", np.full((120, 160, 3), 90, np.uint8), check_contrast=False)
    (frames / "notes.txt").write_text("not a picture")
    lm = astronaut_landmarks()
    (tmp_path / "lm.json").write_text(json.dumps([(lm - (50, 0)).tolist(), (lm - (80, 20)).tolist(), None]))
    np.save(tmp_path / "identity.npy", models.default_latent())
    status = cli.main(["--target", str(frames), "--landmarks", str(tmp_path / "lm.json"), "--source",
                       str(tmp_path / "identity.npy"), "--device", "cpu", "--quiet"])
    assert status == 0 and capsys.readouterr() == ("", "")
    out = tmp_path / "frames_swapped"
    assert sorted(os.listdir(out)) == ["a.png", "b.png", "c.png"]
    assert np.abs(imread(out / "a.png").astype(int) - portrait[:300, 50:450]).mean() > 1
    np.testing.assert_array_equal(imread(out / "c.png"), imread(frames / "c.png"))
    assert (tmp_path / "frames_swapped_before_after.png").exists()

    (tmp_path / "short.json").write_text(json.dumps([lm.tolist(), None]))
    assert cli.main(["--target", str(frames), "--landmarks", str(tmp_path / "short.json"), "--source",
                     str(tmp_path / "identity.npy"), "--device", "cpu", "--output", str(tmp_path / "o")]) == 2
    assert "2 entries for 3 frames" in capsys.readouterr().err and not (tmp_path / "o").exists()


@pytest.fixture
def files(tmp_path, portrait):
    from skimage.io import imsave

    imsave(tmp_path / "face.png", portrait)
    (tmp_path / "broken.png").write_bytes(b"\x89PNG not really")
    (tmp_path / "broken.mp4").write_bytes(os.urandom(2000))
    np.save(tmp_path / "identity.npy", models.default_latent())
    np.save(tmp_path / "short.npy", np.zeros(100, np.float32))
    np.save(tmp_path / "lm.npy", np.zeros((3, 2)))
    (tmp_path / "a_file").write_text("")
    imsave(tmp_path / "blank.png", np.full((200, 200, 3), 200, np.uint8), check_contrast=False)
    from kestrel import vault

    vault.save(np.eye(3, dtype=np.float32), str(tmp_path / "small.bin"))
    return tmp_path


@pytest.mark.parametrize("args, words", [
    (["--target", "missing.png"], "--target missing.png: no such file"),
    (["--target", "broken.png"], "--target broken.png: cannot read it"),
    (["--target", "broken.mp4"], "--target broken.mp4: cannot open it as a video"),
    (["--landmarks", "lm.npy"], "--landmarks lm.npy: expected five (x, y) points"),
    (["--source", "short.npy"], "--source short.npy: a latent holds 512 numbers"),
    (["--source", "missing.npy"], "--source missing.npy: no such file"),
    (["--source", "blank.png"], "--source blank.png: no face found"),
    (["--source", "face.png", "--encoder", "SWAP"], "does not fit: it needs one input (aligned faces"),
    (["--matrix", "small.bin"], "--matrix small.bin: expected a 512 x 512 matrix"),
    (["--matrix", "identity.npy"], "--matrix identity.npy: not a matrix file in the vault format"),
    (["--swap-model", "PARSE"], "does not fit: it needs two inputs"),
    (["--parse-model", "SWAP"], "does not fit: it needs one input"),
    (["--enhance-model", "broken.png"], "--enhance-model broken.png: cannot load it"),
    (["--device", "cuda"], "--device cuda:"),
    (["--output", "nowhere/out.png"], "--output nowhere/out.png: the folder"),
    (["--output", "a_file/out.png"], "--output a_file/out.png: the folder"),
    (["--output", "face.png"], "is the target itself"),
    (["--max-frames", "-2"], "--max-frames: expected at least 1"),
])
def test_bad_input_ends_in_one_line(files, monkeypatch, capsys, args, words):
    monkeypatch.chdir(files)
    monkeypatch.setattr(models, "gpu_count", lambda cp: 0)  # no GPU, with or without CuPy
    defaults = {"--target": "face.png", "--source": "identity.npy", "--output": "out.png"}
    given = dict(zip(args[::2], args[1::2]))
    argv = [a for k, v in {**defaults, **given}.items() for a in (k, v)]
    argv = [standins.standin_path(a.lower()) if a in ("PARSE", "SWAP") else a for a in argv]
    if "--device" not in given:
        argv += ["--device", "cpu"]
    status = cli.main(argv + ["--quiet"])
    out, err = capsys.readouterr()
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("kestrel: error: ") and words in err, err
    assert not (files / "out.png").exists() and not [p for p in os.listdir(files) if "partial" in p]


def test_ctrl_c_leaves_no_output(tmp_path, clip):
    run = subprocess.Popen([sys.executable, "-m", "kestrel", "--target", str(clip / "clip.mp4"), "--landmarks",
                            str(clip / "lm.json"), "--source", str(clip / "identity.npy"), "--device",
                            "cpu", "--enhance-model", "stand-in", "--output", str(tmp_path / "out.mp4")],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 120
        while not [p for p in os.listdir(tmp_path) if "partial" in p]:  # the output is being written
            assert run.poll() is None and time.monotonic() < deadline, run.communicate()
            time.sleep(0.05)
        time.sleep(0.5)
        run.send_signal(signal.SIGINT)
        out, err = run.communicate(timeout=60)
    finally:
        run.kill()
    assert run.returncode == 130, err
    assert err.strip().splitlines()[-1].startswith("kestrel: interrupted")
    assert os.listdir(tmp_path) == []


def test_video_cut_short_keeps_its_sound_in_step(tmp_path, clip, capsys):
    out = tmp_path / "out.mp4"
    status = cli.main(["--target", str(clip / "clip.mp4"), "--landmarks", str(clip / "lm.json"), "--source",
                       str(clip / "identity.npy"), "--device", "cpu", "--max-frames", "10", "--output", str(out)])
    assert status == 0, capsys.readouterr().err
    assert "10 frames in" in capsys.readouterr().out
    with av.open(str(out)) as c:
        frames = sum(1 for _ in c.decode(video=0))
        c.seek(0)
        end = max(float((p.pts + p.duration) * p.time_base) for p in c.demux(audio=0) if p.pts is not None)
    assert frames == 10 and 10 / 25 <= end <= 11 / 25 + 1024 / 44100


@pytest.mark.gpu
def test_every_stage_gets_gpu_arrays(portrait):
    """On a GPU the frame goes up once and every stage works on CuPy arrays; the result
    matches the CPU's."""
    import cupy

    from kestrel.enhance import OnnxFaceEnhance
    from kestrel.segmentation import OnnxFaceSegmentation
    from kestrel.swap import OnnxFaceSwap

    from kestrel.app.pipeline import Chain, Clock

    seen = []

    def spy(model):
        get = model.get

        def checked(image, *rest):
            seen.append(isinstance(image, cupy.ndarray))
            return get(image, *rest)

        model.get = checked
        return model

    def chain(xp, wrap=lambda m: m):
        return Chain(wrap(OnnxFaceSwap(standins.standin_path("swap"), None, "cpu")), models.default_latent(),
                     wrap(OnnxFaceEnhance(standins.standin_path("enhance"), None, "cpu")),
                     wrap(OnnxFaceSegmentation(standins.standin_path("parse"), None, "cpu")), xp)

    frame = np.ascontiguousarray(portrait[:400, 30:470])
    lm = astronaut_landmarks() - (30, 0)
    on_gpu = chain(cupy, spy)(frame, lm, Clock(cupy.cuda.get_current_stream().synchronize))
    assert seen == [True] * 3 and isinstance(on_gpu, np.ndarray) and on_gpu.dtype == np.uint8
    on_cpu = chain(np)(frame, lm, Clock())
    assert np.abs(on_gpu.astype(int) - on_cpu).max() <= 2
