"""The embedded default: the whole chain on scikit-image's astronaut portrait and on a short
clip panning and zooming over it, with the portrait's stored landmarks and stand-in networks."""

import json
import os
import pathlib
import shlex

import numpy as np

import rasterkit as rk

from . import BadInput, need
from .faces import astronaut_landmarks, transform_points
from .media import PictureSource, VideoSource, open_output, write_atomically, write_picture
from .models import default_latent

CLIP_SIZE = (640, 360)  # width, height
CLIP_RATE = 25
CLIP_SECONDS = 2
AUDIO_RATE = 44100


def clip_matrices(frames: int, size=CLIP_SIZE) -> list:
    """Per frame, the 2 x 3 matrix from portrait pixels to clip pixels (size: width,
    height): a pan from the upper middle of the portrait to the face while zooming in
    from 1.25x to 1.6x (at 640 pixels wide; wider clips scale up)."""
    w, h = size
    k = w / 640
    out = []
    for i in range(frames):
        t = i / max(frames - 1, 1)
        t = t * t * (3 - 2 * t)  # ease in and out
        s = k * (1.25 + 0.35 * t)
        cx, cy = 256 + (224 - 256) * t, 200 + (135 - 200) * t
        # Keep the window inside the 512 x 512 portrait.
        cx = min(max(cx, w / 2 / s), 512 - w / 2 / s)
        cy = min(max(cy, h / 2 / s), 512 - h / 2 / s)
        out.append(np.array([[s, 0, w / 2 - s * cx], [0, s, h / 2 - s * cy]]))
    return out


def make_clip(path: str, portrait: np.ndarray, frames: int, size=CLIP_SIZE) -> list:
    """Write the clip (H.264 and an AAC tone, so the audio copy runs too); returns its
    matrices."""
    av = need("av", "making the demonstration clip")
    matrices = clip_matrices(frames, size)

    def write(tmp):
        with av.open(tmp, "w", format="mp4") as out:
            video = out.add_stream("libx264", rate=CLIP_RATE, options={"crf": "20", "preset": "veryfast"})
            video.width, video.height, video.pix_fmt = *size, "yuv420p"
            audio = out.add_stream("aac", rate=AUDIO_RATE, layout="mono")
            for i, M in enumerate(matrices):
                frame = av.VideoFrame.from_ndarray(rk.affine_transform(portrait, M, size[::-1]), format="rgb24")
                frame.pts = i
                out.mux(video.encode(frame))
            out.mux(video.encode())
            samples = int(AUDIO_RATE * frames / CLIP_RATE)
            t = np.arange(samples) / AUDIO_RATE
            tone = (0.2 * np.sin(2 * np.pi * 440 * t) * np.minimum(1, 20 * t)).astype(np.float32)
            for start in range(0, samples, 1024):
                chunk = av.AudioFrame.from_ndarray(tone[None, start:start + 1024], format="fltp", layout="mono")
                chunk.sample_rate, chunk.pts = AUDIO_RATE, start
                out.mux(audio.encode(chunk))
            out.mux(audio.encode())

    write_atomically(path, write)
    return matrices


def run_default(args) -> None:
    from .cli import detector, landmarks_from, make_setup, notes, process, say

    if args.landmarks:
        raise BadInput("--landmarks goes with --target (the embedded default has its own)")
    skimage_data = need("skimage.data", "the embedded default")
    folder = args.output or "kestrel-demo"
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise BadInput(f"--output {folder}: the embedded default writes a folder, and this is a file")
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise BadInput(f"--output {folder}: cannot create the folder ({e.strerror or e})") from None
    defaults = {"swap_model": "stand-in", "enhance_model": "stand-in", "parse_model": "stand-in"}
    for name, value in defaults.items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    say(args.quiet, "No --target: running the embedded default on scikit-image's astronaut portrait and a clip "
                    f"made from it, written to {folder}/.")
    setup = make_setup(args, latent_default=default_latent())
    notes(setup)

    portrait = skimage_data.astronaut()
    lm = astronaut_landmarks()
    picture = os.path.join(folder, "astronaut.png")
    write_picture(picture, portrait)
    frames = min(CLIP_RATE * CLIP_SECONDS, args.max_frames or CLIP_RATE * CLIP_SECONDS)
    clip = os.path.join(folder, "clip.mp4")
    matrices = make_clip(clip, portrait, frames)
    clip_points = [transform_points(M, lm) for M in matrices]
    clip_landmarks = os.path.join(folder, "clip_landmarks.json")
    text = json.dumps([np.round(p, 2).tolist() for p in clip_points])
    write_atomically(clip_landmarks, lambda tmp: pathlib.Path(tmp).write_text(text, encoding="utf-8"))
    identity = os.path.join(folder, "identity.npy")
    write_atomically(identity, lambda tmp: np.save(tmp, rk.to_numpy(setup.chain.latent)))

    if args.detector:
        find = detector(args.detector)
        picture_marks = clip_marks = lambda item: find(item.image)  # noqa: E731
    else:
        picture_marks, clip_marks = landmarks_from([lm], 1), landmarks_from(clip_points, frames)
    for source, output, marks, label in (
            (PictureSource(picture), os.path.join(folder, "astronaut_swapped.png"), picture_marks, "portrait"),
            (VideoSource(clip), os.path.join(folder, "clip_swapped.mp4"), clip_marks, "clip")):
        process(setup, source, open_output(output, source), output, marks, label)

    if setup.standin_roles:
        target = f"--target {shlex.quote(clip)} --landmarks {shlex.quote(clip_landmarks)}"
        real = shlex.quote(os.path.join(folder, "real.mp4"))
        say(setup.quiet, f"""
The networks above are stand-ins generated on first use (not face models): the swap recolours
the face by its identity, the parser marks skin-coloured pixels, the enhancer sharpens.
With real models the same run on this clip reads:
  kestrel {target} \\
          --source face.jpg --encoder recognition.onnx --swap-model swap.onnx \\
          --enhance-model restore.onnx --parse-model parsing.onnx --output {real}
and with the stand-ins and this identity:
  kestrel {target} --source {shlex.quote(identity)}""")
