"""The typical frame for every frame, on four threads one frame apart.

One frame: landmarks -> FFHQ-aligned crop (and the matrix that cut it) -> swap -> optional
enhancement and segmentation -> paste-back. Decoding, landmarks and alignment, the models
and paste-back, and encoding each run on a thread of their own, so that the models never
wait on I/O or on the alignment of their frame. On a GPU the frame is uploaded once and
stays a CuPy array through every stage until the one download before encoding.
"""

import queue
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, field, replace

import numpy as np

import rasterkit as rk
from kestrel.facefit import align_face_ffhq
from kestrel.paste import PasteBack, paste_back

from .faces import ffhq_crop_matrix, resized_crop_matrix

STAGES = ("decode", "detect", "align", "swap", "enhance", "segment", "paste", "encode")
OWN_THREAD = ("decode", "encode")


class Clock:
    """Milliseconds per stage. Each stage is timed in the thread that runs it; on a GPU
    the stage waits for its work to finish, so that the time is the stage's own."""

    def __init__(self, sync=None):
        self.sync = sync
        self.ms = dict.fromkeys(STAGES, 0.0)
        self.counts = dict.fromkeys(STAGES, 0)

    @contextmanager
    def __call__(self, stage: str, sync: bool = False):
        start = time.perf_counter()
        yield
        if sync and self.sync is not None:
            self.sync()
        self.ms[stage] += (time.perf_counter() - start) * 1e3
        self.counts[stage] += 1


@dataclass
class Aligned:
    """A frame ready for the models: the frame on the chain's device, the aligned crop and
    the matrix that cut it (frame -> crop pixels)."""

    frame: object
    crop: object
    M: np.ndarray


class Chain:
    """The modules chained for one face per frame, on NumPy (CPU) or CuPy (GPU) arrays.

    `prepare` (alignment) and `finish` (models and paste-back) may run on two threads, one
    frame apart; each keeps to its own objects. On a GPU both use `device` (an ordinal).
    """

    def __init__(self, swapper, latent, enhancer=None, parser=None, xp=np, device=None):
        self.swapper, self.enhancer, self.parser, self.xp, self.device = swapper, enhancer, parser, xp, device
        self.latent = xp.asarray(latent, dtype=xp.float32)
        self.side = int(swapper.input_size[0])  # aligned crops at the swap's own size
        self.paster = PasteBack()
        self.blur = rk.GaussianBlur()
        self.feather = {}  # feathered paste masks per crop size

    def use_device(self):
        """Make the chain's GPU current in the calling thread (CuPy's choice is per thread)."""
        if self.device is not None:
            self.xp.cuda.Device(self.device).use()

    def __call__(self, image: np.ndarray, landmarks, clock) -> np.ndarray | None:
        """The frame with its face replaced, as host uint8; None when the landmarks give no
        usable face (degenerate, or wholly outside the frame)."""
        aligned = self.prepare(image, landmarks, clock)
        return None if aligned is None else self.finish(aligned, clock)

    def prepare(self, image: np.ndarray, landmarks, clock) -> Aligned | None:
        with clock("align", sync=True):
            M = ffhq_crop_matrix(landmarks, image.shape[:2], self.side)
            if M is None:
                return None
            frame = self.xp.asarray(image)  # the one upload
            return Aligned(frame, align_face_ffhq(frame, landmarks, output_size=self.side), M)

    def finish(self, aligned: Aligned, clock) -> np.ndarray:
        xp, frame, crop = self.xp, aligned.frame, aligned.crop
        with clock("swap", sync=True):
            face = self.swapper.get(crop, self.latent)
        if self.enhancer is not None:
            with clock("enhance", sync=True):
                face = self.enhancer.get(face)
        region = None
        if self.parser is not None:
            with clock("segment", sync=True):
                # Parsed on the target's own crop: the paste then covers the target's face
                # regions and spares hair, hands and background in front of it.
                masks = self.parser.get(crop)
                # The union of the three region masks (max over a 3-wide axis is slow in NumPy).
                region = xp.maximum(xp.maximum(masks[..., 0], masks[..., 1]), masks[..., 2])
        with clock("paste", sync=True):
            h, w = face.shape[:2]
            M_face = resized_crop_matrix(aligned.M, (self.side, self.side), (h, w))
            if region is None:
                merged = self.paster.get(frame, face, M_face)
            else:
                merged = paste_back(rk.to_float32(frame), face, M_face, self._mask(region, h, w))
            merged *= 255
            merged += 0.5
            result = rk.to_numpy(xp.clip(merged, 0, 255, out=merged).astype(xp.uint8))  # the one download
        return result

    def _mask(self, region, h, w):
        """The feathered crop mask, limited to the parsed face regions (edges softened)."""
        if (h, w) not in self.feather:
            # create_mask makes its array from nothing: CuPy wherever CuPy is installed.
            mask = self.paster.create_mask((h, w))
            self.feather[(h, w)] = rk.to_numpy(mask) if self.xp is np else self.xp.asarray(mask)
        region = rk.resize(region, (w, h))
        sigma = max(h, w) * 0.01
        region = self.blur.get(region, 0, sigma)
        return self.feather[(h, w)] * region[:, :, None]


@dataclass
class Summary:
    frames: int = 0
    with_face: int = 0
    seconds: float = 0.0
    before: np.ndarray | None = None  # the first frame with a face, and its result
    after: np.ndarray | None = None
    clock: Clock = field(default_factory=Clock)


_END = object()


def _put(q, item, stop):
    while not stop.is_set():
        try:
            q.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def _get(q, stop):
    while not stop.is_set():
        try:
            return q.get(timeout=0.1)
        except queue.Empty:
            continue
    return _END


def run(frames, sink, chain, landmarks_for, clock, progress=None, depth=4) -> Summary:
    """Four threads, one frame apart: decode, prepare (landmarks and alignment), the models
    and paste-back (here), encode. `frames` is an iterator of Items; `landmarks_for(item)`
    gives five points or None. The first error of any thread stops them all and is raised
    here; Ctrl-C too. The sink is only written to, never finished, here."""
    summary = Summary(clock=clock)
    decoded, aligned, done = queue.Queue(depth), queue.Queue(depth), queue.Queue(depth)
    stop = threading.Event()
    errors = []

    def guarded(body):
        def target():
            try:
                body()
            except BaseException as e:
                errors.append(e)
                stop.set()
        return target

    def decode():
        try:
            while not stop.is_set():
                with clock("decode"):
                    item = next(frames, _END)
                if item is _END or not _put(decoded, item, stop):
                    break
        finally:
            _put(decoded, _END, stop)

    def prepare():
        chain.use_device()
        try:
            while (item := _get(decoded, stop)) is not _END:
                with clock("detect"):
                    landmarks = landmarks_for(item)
                ready = None if landmarks is None else chain.prepare(item.image, landmarks, clock)
                if not _put(aligned, (item, ready), stop):
                    break
        finally:
            _put(aligned, _END, stop)

    def encode():
        while (item := _get(done, stop)) is not _END:
            with clock("encode"):
                sink.write(item)
            if progress is not None:
                progress.update(1)

    threads = [threading.Thread(target=guarded(body), name=f"kestrel-{body.__name__}", daemon=True)
               for body in (decode, prepare, encode)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    try:
        while (entry := _get(aligned, stop)) is not _END:
            item, ready = entry
            result = None if ready is None else chain.finish(ready, clock)
            summary.frames += 1
            if result is not None:
                summary.with_face += 1
                if summary.before is None:
                    summary.before, summary.after = item.image, result
            if not _put(done, replace(item, image=item.image if result is None else result), stop):
                break
        _put(done, _END, stop)
        for t in threads:
            while t.is_alive():
                t.join(0.1)
    except BaseException:
        stop.set()
        for t in threads:
            t.join(5)
        raise
    if errors:
        raise errors[0]
    summary.seconds = time.perf_counter() - start
    return summary


def before_after(before: np.ndarray, after: np.ndarray, max_height=480, gap=8) -> np.ndarray:
    """The two frames side by side on a white strip, scaled down to at most max_height."""
    h, w = before.shape[:2]
    if h > max_height:
        w, h = max(1, round(w * max_height / h)), max_height
        before, after = rk.resize(before, (w, h)), rk.resize(after, (w, h))
    strip = np.full((h, 2 * w + gap, 3), 255, np.uint8)
    strip[:, :w], strip[:, w + gap:] = before, after
    return strip


THREAD_OF = {"decode": "decode", "detect": "prepare", "align": "prepare", "encode": "encode"}  # else: models


def table(summary: Summary) -> str:
    """Milliseconds per frame for each stage, its share of the frame work (detect to paste),
    the thread it runs on, and the frames per second of the whole run."""
    clock = summary.clock
    work_ms = sum(clock.ms[s] for s in STAGES if s not in OWN_THREAD)
    lines = [f"{'stage':<10}{'ms/frame':>10}{'share':>10}  thread"]
    for stage in STAGES:
        n = clock.counts[stage]
        thread = THREAD_OF.get(stage, "models")
        if n == 0:
            lines.append(f"{stage:<10}{'-':>10}{'':>10}  {thread}")
            continue
        share = "" if stage in OWN_THREAD or not work_ms else f"{100 * clock.ms[stage] / work_ms:.1f} %"
        lines.append(f"{stage:<10}{clock.ms[stage] / n:>10.1f}{share:>10}  {thread}")
    fps = summary.frames / summary.seconds if summary.seconds > 0 else 0.0
    lines.append(f"{summary.frames} frame{'s' if summary.frames != 1 else ''} in {summary.seconds:.2f} s: "
                 f"{fps:.1f} frames/s; {summary.with_face} with a face, "
                 f"{summary.frames - summary.with_face} without (written unchanged)")
    return "\n".join(lines)
