"""kestrel: replace the face in a picture, a folder of pictures or a video."""

import argparse
import os
import functools
import signal
import sys
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from . import BadInput, need
from .faces import CascadeDetector, YuNetDetector, load_landmarks
from .media import VideoSource, default_output, open_output, open_target, write_picture
from .models import apply_matrix, choose_device, load_model, source_latent
from .pipeline import Chain, Clock, before_after, run, table

STANDIN = "stand-in"

DESCRIPTION = """\
Replace the face in a picture, a folder of pictures or a video with the identity of
--source, frame by frame: five landmarks, FFHQ alignment, swap, optional enhancement and
face parsing (the paste then covers the parsed face regions only), paste-back.

Writes the result, a before/after picture of the first frame with a face
(<output>_before_after.png) and prints milliseconds per stage and frames per second.
Without --target it runs an embedded default: scikit-image's astronaut portrait and a
short clip made from it, with small stand-in networks instead of real models.

Landmarks (five points per frame: eyes, nose tip, mouth corners) come from --landmarks,
from a YuNet --detector, or else from scikit-image's LBP face cascade, whose box is turned
into five points by a mean-face template with the eyes refined: these points are
approximate, and the cascade can also fire on things that are not faces. A frame without
a face is written unchanged.

Model files are ONNX; with --backend trt a TensorRT engine is built beside each the first
time (file.trt) and reused. "stand-in" selects a generated stand-in network."""

EPILOG = """\
example with real models:
  kestrel --target clip.mp4 --source face.jpg --encoder recognition.onnx \\
          --swap-model swap.onnx --enhance-model restore.onnx --parse-model parsing.onnx \\
          --output clip_swapped.mp4"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, not usage and error
        raise BadInput(f"{message} (see kestrel --help)")


def _frame_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {n}")
    return n


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="kestrel", description=DESCRIPTION, epilog=EPILOG,
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--target", metavar="PATH", help="a picture (PNG, JPEG, ...), a folder of pictures or a video")
    p.add_argument("--source", metavar="FILE",
                   help="the identity (required with --target): a .npy of 512 values, or a picture of the face, "
                   "encoded by --encoder")
    p.add_argument("--encoder", metavar="ONNX", help="face-recognition model for a --source picture: "
                   "input N x 3 x 112 x 112 (aligned face, RGB, -1..1), output N x 512 (default: a stand-in)")
    p.add_argument("--matrix", metavar="FILE", help="a 512 x 512 matrix file in the vault format (kestrel.vault): "
                   "the latent becomes latent @ matrix, normalised to unit length")
    p.add_argument("--swap-model", metavar="ONNX", default=STANDIN, help="swap model (default: stand-in)")
    p.add_argument("--enhance-model", metavar="ONNX", help="face restoration model, run on the swapped crop")
    p.add_argument("--parse-model", metavar="ONNX", help="face parsing model (19 classes), run on the target crop")
    p.add_argument("--backend", choices=("onnx", "trt"), default="onnx",
                   help="ONNX Runtime (default) or TensorRT engines")
    p.add_argument("--device", metavar="DEVICE",
                   help="cpu, cuda or cuda:N (default: cuda where CuPy sees a GPU that the backend can use, else cpu)")
    p.add_argument("--output", metavar="PATH", help="where to write the result (default: <target>_swapped..., "
                   "or the folder kestrel-demo for the embedded default)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--landmarks", metavar="FILE", help=".npy or JSON: five (x, y) points for every frame, "
                       "or a list with one entry per frame (null or NaN: no face)")
    where.add_argument("--detector", metavar="ONNX", help="a YuNet face detector for OpenCV's FaceDetectorYN "
                       "(needs opencv-python-headless)")
    p.add_argument("--max-frames", metavar="N", type=_frame_count, help="stop after N frames")
    p.add_argument("--quiet", action="store_true", help="print nothing but errors")
    return p


# ---------------------------------------------------------------- one run


@dataclass
class Setup:
    """What every run of an invocation shares: device, models and identity."""

    device: str
    chain: Chain
    clock_sync: Callable[[], None] | None  # waits for the GPU, so that stage times are the stages' own
    standin_roles: list
    quiet: bool
    max_frames: int | None


def say(quiet: bool, text: str) -> None:
    if not quiet:
        print(text, flush=True)


def _model_arg(value):
    return None if value in (None, STANDIN) else value


def make_setup(args, latent_default=None) -> Setup:
    """Device, models and identity, each checked before any frame is read."""
    device = choose_device(args.device, args.backend)
    xp, sync, ordinal = np, None, None
    if device.startswith("cuda"):
        import cupy

        ordinal = int(device.split(":")[1])
        cupy.cuda.Device(ordinal).use()
        xp, sync = cupy, cupy.cuda.get_current_stream().synchronize
    if args.source is not None:
        latent = source_latent(args.source, _model_arg(args.encoder), detector(args.detector))
    elif args.encoder is not None:
        raise BadInput("--encoder goes with a --source picture")
    elif latent_default is not None:
        latent = latent_default
    else:
        raise BadInput("--source is required: a .npy latent of 512 values or a picture of the face")
    if args.matrix is not None:
        latent = apply_matrix(latent, args.matrix)
    standin_roles = []
    models = {}
    for role, value in (("swap", args.swap_model), ("enhance", args.enhance_model), ("parse", args.parse_model)):
        if value is None:
            continue
        if value == STANDIN:
            standin_roles.append(role)
        models[role] = load_model(role, _model_arg(value), args.backend, device)
    if args.source is not None and not args.source.lower().endswith(".npy") and _model_arg(args.encoder) is None:
        standin_roles.append("encoder")
    chain = Chain(models["swap"], latent, models.get("enhance"), models.get("parse"), xp, ordinal)
    return Setup(device, chain, sync, standin_roles, args.quiet, args.max_frames)


@functools.cache
def detector(yunet_path: str | None):
    """The YuNet detector of that file, or the default cascade; made once."""
    return YuNetDetector(yunet_path) if yunet_path else CascadeDetector()


def frame_count(source, limit):
    """Frames the run will see: None where the source cannot tell."""
    return source.count if limit is None or source.count is None else min(source.count, limit)


def landmarks_from(points: list, count, option="--landmarks"):
    """Per-frame lookup in a landmarks list (one entry: the same face in every frame)."""
    if len(points) > 1 and count is not None and len(points) < count:
        raise BadInput(f"{option}: {len(points)} entries for {count} frames")

    def lookup(item):
        if len(points) == 1:
            return points[0]
        if item.index >= len(points):
            raise BadInput(f"{option}: {len(points)} entries, but the target has more frames")
        return points[item.index]

    return lookup


def process(setup: Setup, source, sink, output: str, landmarks_for, label: str):
    """One target through the chain into the opened `sink` (finished, or aborted on any
    failure), then the before/after picture and the table."""
    limit = setup.max_frames
    count = frame_count(source, limit)
    progress = None
    try:
        if not setup.quiet and count != 1:
            tqdm = need("tqdm", "the progress bar")
            progress = tqdm.tqdm(total=count, unit="frame", desc=label, leave=False, dynamic_ncols=True)
        if isinstance(source, VideoSource):
            frames = source.frames(limit, on_audio=sink.queue_audio)
        else:
            frames = source.frames(limit)
        summary = run(frames, sink, setup.chain, landmarks_for, Clock(setup.clock_sync), progress)
        sink.finish(complete=limit is None or summary.frames < limit)
    except BaseException:
        sink.abort()
        raise
    finally:
        if progress is not None:
            progress.close()
        source.close()
    say(setup.quiet, f"\n{label}: wrote {output}")
    if summary.before is not None:
        compare = _before_after_path(output)
        write_picture(compare, before_after(summary.before, summary.after))
        say(setup.quiet, f"{label}: before/after of the first frame with a face: {compare}")
    else:
        say(setup.quiet, f"{label}: no face found in any frame, so no before/after picture")
    say(setup.quiet, table(summary))
    return summary


def _before_after_path(output: str) -> str:
    stem = output.rstrip("/\\")
    if not os.path.isdir(stem):
        stem = os.path.splitext(stem)[0]
    return f"{stem}_before_after.png"


def run_target(args) -> None:
    target = args.target
    output = args.output or default_output(target)
    if os.path.exists(output) and os.path.exists(target) and os.path.samefile(output, target):
        raise BadInput(f"--output {output} is the target itself; choose another path")
    points = load_landmarks(args.landmarks) if args.landmarks else None
    source = open_target(target)
    sink = None
    try:
        landmarks_for = landmarks_from(points, frame_count(source, args.max_frames)) if points else None
        sink = open_output(output, source)
        setup = make_setup(args)
        if landmarks_for is None:
            find = detector(args.detector)
            landmarks_for = lambda item: find(item.image)  # noqa: E731
    except BaseException:
        if sink is not None:
            sink.abort()
        source.close()
        raise
    notes(setup)
    summary = process(setup, source, sink, output, landmarks_for, os.path.basename(target.rstrip("/\\")) or target)
    if not args.landmarks and not args.detector and summary.with_face:
        say(setup.quiet, "(faces found by the default detector: its landmarks are approximate, and it can also fire "
                   "on things that are not faces)")


def notes(setup: Setup) -> None:
    say(setup.quiet, f"device: {setup.device}")
    if setup.standin_roles:
        say(setup.quiet, f"stand-in networks (not face models) for: {', '.join(setup.standin_roles)}")


# ---------------------------------------------------------------- entry points


def main(argv=None) -> int:
    """Run the command; returns the exit status. Errors are one line on stderr."""
    try:
        args = build_parser().parse_args(argv)
        if args.target is None:
            from .demo import run_default

            run_default(args)
        else:
            run_target(args)
        return 0
    except BadInput as e:
        print(f"kestrel: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("kestrel: interrupted; no partly written output was left behind", file=sys.stderr)
        return 130
    except MemoryError:
        print("kestrel: error: out of memory", file=sys.stderr)
        return 1
    except Exception as e:  # anything unforeseen still ends in one line, not a traceback
        text = str(e).strip().splitlines()
        print(f"kestrel: error: {type(e).__name__}: {text[-1] if text else 'no details'}", file=sys.stderr)
        return 1


def console() -> None:
    """The console script: SIGTERM ends the run like Ctrl-C, removing partial output."""

    def terminate(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, terminate)
    sys.exit(main())
