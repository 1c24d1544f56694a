"""Reading and writing the targets: a picture, a folder of pictures, a video (PyAV).

Frames travel as `Item`s holding an H x W x 3 uint8 RGB image. Every output is written
under a temporary name in its own folder and renamed into place when complete, so that an
interrupted or failed run never leaves a half-written file behind.
"""

import collections
import os
import sys
import tempfile
import threading
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

from . import BadInput, need

PICTURE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp")
VIDEO_CODECS = {".webm": "libvpx-vp9", ".avi": "mpeg4"}  # others: H.264


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


# Temporary files are created private (0600); what is renamed into place gets the
# permissions an ordinary new file would have.
FILE_MODE = 0o666 & ~_umask()


@dataclass
class Item:
    index: int
    image: np.ndarray  # H x W x 3 uint8, RGB
    name: str = ""  # file name within a folder
    pts: int | None = None  # video timing
    time_base: Fraction | None = None


def is_picture(path: str) -> bool:
    return path.lower().endswith(PICTURE_SUFFIXES)


def _as_rgb8(image: np.ndarray) -> np.ndarray:
    if image.dtype == np.uint16:
        image = (image // 257).astype(np.uint8)
    elif image.dtype == np.bool_:
        image = image.astype(np.uint8) * 255
    elif image.dtype != np.uint8:
        image = (np.clip(image, 0, 1) * 255 + 0.5).astype(np.uint8)
    if image.ndim == 2:
        image = np.repeat(image[..., None], 3, axis=2)
    return np.ascontiguousarray(image[..., :3]) if image.shape[2] >= 3 else np.repeat(image[..., :1], 3, axis=2)


def read_picture(path: str, option: str) -> np.ndarray:
    io = need("skimage.io", "reading pictures")
    try:
        image = io.imread(path)
    except OSError as e:
        raise BadInput(f"{option} {path}: {e.strerror or 'cannot read it'}") from None
    except Exception as e:
        raise BadInput(f"{option} {path}: cannot read it as a picture ({type(e).__name__})") from None
    if image.ndim not in (2, 3) or 0 in image.shape[:2]:
        raise BadInput(f"{option} {path}: not a single picture (array of shape {image.shape})")
    return _as_rgb8(image)


def temporary_beside(path: str) -> str:
    """A new hidden file in the folder of `path`, with the same suffix (writers pick the
    format from it)."""
    folder, name = os.path.split(os.path.abspath(path))
    stem, suffix = os.path.splitext(name)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{stem}.", suffix=f".partial{suffix}")
    os.close(fd)
    os.chmod(tmp, FILE_MODE)
    return tmp


def write_atomically(path: str, write) -> None:
    """Call write(temporary_path) for a temporary file beside `path`, then rename it into
    place; on any failure (Ctrl-C included) the temporary file goes and `path` is untouched."""
    tmp = temporary_beside(path)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        _remove(tmp)
        raise


def write_picture(path: str, image: np.ndarray) -> None:
    io = need("skimage.io", "writing pictures")
    options = {"quality": 95} if path.lower().endswith((".jpg", ".jpeg")) else {}
    write_atomically(path, lambda tmp: io.imsave(tmp, image, check_contrast=False, **options))


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def check_writable(path: str, option: str = "--output") -> None:
    """Refuse an output whose folder is missing or cannot take a new file, before any work."""
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if not os.path.isdir(folder):
        raise BadInput(f"{option} {path}: the folder {folder} does not exist")
    try:
        _remove(temporary_beside(path))
    except OSError as e:
        raise BadInput(f"{option} {path}: cannot write there ({e.strerror or e})") from None


# ---------------------------------------------------------------- sources


class PictureSource:
    def __init__(self, path: str):
        self.path, self.count = path, 1
        self.image = read_picture(path, "--target")

    def frames(self, limit=None):
        yield Item(0, self.image, os.path.basename(self.path))

    def close(self):
        pass


class FolderSource:
    def __init__(self, path: str):
        try:
            names = sorted(n for n in os.listdir(path) if is_picture(n) and not n.startswith("."))
        except OSError as e:
            raise BadInput(f"--target {path}: {e.strerror or e}") from None
        if not names:
            raise BadInput(f"--target {path}: the folder holds no pictures ({', '.join(PICTURE_SUFFIXES)})")
        self.path, self.names, self.count = path, names, len(names)

    def frames(self, limit=None):
        for i, name in enumerate(self.names[:limit]):
            yield Item(i, read_picture(os.path.join(self.path, name), "--target"), name)

    def close(self):
        pass


class VideoSource:
    """Decodes the first video stream; audio packets of the first audio stream go to
    `on_audio` as they are read, for the writer to copy."""

    def __init__(self, path: str):
        av = need("av", "reading videos")
        try:
            self.container = av.open(path)
        except Exception as e:
            raise BadInput(f"--target {path}: cannot open it as a video ({_why(e)})") from None
        if not self.container.streams.video:
            self.container.close()
            raise BadInput(f"--target {path}: the file holds no video stream")
        self.path = path
        self.video = self.container.streams.video[0]
        self.video.thread_type = "AUTO"
        self.audio = self.container.streams.audio[0] if self.container.streams.audio else None
        self.count = self.video.frames or None
        self.rate = self.video.average_rate or self.video.guessed_rate or Fraction(25)
        self.width, self.height = self.video.codec_context.width, self.video.codec_context.height

    def frames(self, limit=None, on_audio=None):
        av = need("av", "reading videos")
        streams = [self.video] + ([self.audio] if self.audio is not None and on_audio else [])
        index = 0
        try:
            for packet in self.container.demux(*streams):
                if packet.stream.type == "audio":
                    if packet.dts is not None:
                        on_audio(packet)
                    continue
                for frame in packet.decode():
                    if limit is not None and index >= limit:
                        return
                    yield Item(index, frame.to_ndarray(format="rgb24"), pts=frame.pts, time_base=frame.time_base)
                    index += 1
        except av.FFmpegError as e:
            raise BadInput(f"--target {self.path}: cannot decode the video ({_why(e)})") from None
        if index == 0:
            raise BadInput(f"--target {self.path}: the video holds no frame that can be decoded")

    def close(self):
        self.container.close()


def _why(e: BaseException) -> str:
    text = getattr(e, "strerror", None) or str(e)
    return text.strip().splitlines()[0] if text else type(e).__name__


def open_target(path: str):
    if os.path.isdir(path):
        return FolderSource(path)
    if not os.path.exists(path):
        raise BadInput(f"--target {path}: no such file or folder")
    if is_picture(path):
        return PictureSource(path)
    return VideoSource(path)


# ---------------------------------------------------------------- sinks


class PictureSink:
    def __init__(self, path: str):
        check_writable(path)
        self.path, self.image = path, None

    def write(self, item: Item):
        self.image = item.image

    def finish(self, complete=True):
        write_picture(self.path, self.image)

    def abort(self):
        pass


class FolderSink:
    """Each picture is written atomically as it comes; an interrupted run leaves the
    completed ones and nothing half-written."""

    def __init__(self, path: str):
        if os.path.exists(path) and not os.path.isdir(path):
            raise BadInput(f"--output {path}: a folder target needs a folder output, and this is a file")
        try:
            os.makedirs(path, exist_ok=True)
        except OSError as e:
            raise BadInput(f"--output {path}: cannot create the folder ({e.strerror or e})") from None
        check_writable(os.path.join(path, "x.png"))
        self.path = path

    def write(self, item: Item):
        write_picture(os.path.join(self.path, item.name), item.image)

    def finish(self, complete=True):
        pass

    def abort(self):
        pass


class VideoSink:
    """Writes H.264 (VP9 for .webm, MPEG-4 part 2 for .avi) at the source's frame times and
    copies the source's audio packets, interleaved by time. Frames past a --max-frames limit
    take their audio with them."""

    def __init__(self, path: str, source: VideoSource):
        av = need("av", "writing videos")
        check_writable(path)
        self.path, self.tmp = path, temporary_beside(path)
        try:
            self.container = av.open(self.tmp, "w")
        except Exception as e:
            _remove(self.tmp)
            raise BadInput(f"--output {path}: cannot write a video of this type ({_why(e)})") from None
        try:
            suffix = os.path.splitext(path)[1].lower()
            self.video = self.container.add_stream(VIDEO_CODECS.get(suffix, "libx264"), rate=source.rate)
            self.video.width, self.video.height = source.width, source.height
            # 4:2:0 needs even sides.
            self.video.pix_fmt = "yuv420p" if source.width % 2 == 0 and source.height % 2 == 0 else "yuv444p"
            self.video.time_base = source.video.time_base
            if suffix not in VIDEO_CODECS:
                self.video.options = {"crf": "18", "preset": "veryfast"}
            self.audio = None
            if source.audio is not None:
                try:
                    self.audio = self.container.add_stream_from_template(source.audio)
                except Exception as e:
                    print(f"kestrel: warning: the audio ({source.audio.codec_context.name}) cannot be copied into "
                          f"{suffix or 'this file'} ({_why(e)}); the video is written without sound", file=sys.stderr)
        except BaseException:
            self.abort()
            raise
        self.pending = collections.deque()  # audio packets waiting for the video to catch up
        self.lock = threading.Lock()
        self.last_time = None
        self.frame_time = 1 / float(source.rate)
        self.time_base = source.video.time_base or Fraction(1, 90000)

    def queue_audio(self, packet):
        if self.audio is not None:
            with self.lock:
                self.pending.append(packet)

    def _mux_audio(self, until=None):
        while True:
            with self.lock:
                if not self.pending:
                    return
                packet = self.pending[0]
                if until is not None and packet.pts is not None and float(packet.pts * packet.time_base) > until:
                    return
                self.pending.popleft()
            packet.stream = self.audio
            self.container.mux(packet)

    def write(self, item: Item):
        av = need("av", "writing videos")
        frame = av.VideoFrame.from_ndarray(item.image, format="rgb24")
        if item.pts is not None:
            frame.pts, frame.time_base = item.pts, item.time_base
            self.last_time = float(item.pts * item.time_base)
        else:  # a stream without timestamps: frames at the nominal rate
            self.last_time = item.index * self.frame_time
            frame.pts, frame.time_base = round(self.last_time / self.time_base), self.time_base
        self._mux_audio(until=self.last_time)
        for packet in self.video.encode(frame):
            self.container.mux(packet)

    def finish(self, complete=True):
        """Flush and rename. Incomplete (frames were limited): audio stops with the last frame."""
        for packet in self.video.encode():
            self.container.mux(packet)
        end = None if complete or self.last_time is None else self.last_time + self.frame_time
        self._mux_audio(until=end)
        with self.lock:
            self.pending.clear()
        self.container.close()
        os.replace(self.tmp, self.path)

    def abort(self):
        try:
            self.container.close()
        except Exception:  # closing a broken container may fail; the file goes anyway
            pass
        _remove(self.tmp)


def open_output(path: str, source):
    if isinstance(source, FolderSource):
        return FolderSink(path)
    if isinstance(source, PictureSource):
        if not is_picture(path):
            raise BadInput(f"--output {path}: a picture target needs a picture output ({', '.join(PICTURE_SUFFIXES)})")
        return PictureSink(path)
    if is_picture(path) or os.path.isdir(path):
        raise BadInput(f"--output {path}: a video target needs a video file output such as .mp4")
    return VideoSink(path, source)


def default_output(target: str) -> str:
    target = target.rstrip("/\\") or target
    if os.path.isdir(target):
        return f"{target}_swapped"
    stem, suffix = os.path.splitext(target)
    if not is_picture(target) and suffix.lower() not in (".mp4", ".mov", ".mkv", ".webm", ".avi"):
        suffix = ".mp4"
    return f"{stem}_swapped{suffix}"
