"""Five face landmarks per frame, and the matrix of the aligned crop they give.

Landmarks are five (x, y) pixel points in the order the alignment reads them: the eye on
the image's left, the eye on the image's right, the nose tip, the mouth corner on the
image's left, the mouth corner on the image's right. They come from a file, from a YuNet
detector (OpenCV) or from scikit-image's LBP face cascade with a mean-face template.
"""

import json
import re
from importlib import resources

import numpy as np

import rasterkit as rk

from . import BadInput, need

# Five points of a mean face in a unit square around it, placed in the box the LBP cascade
# reports (calibrated on the stored portrait, made left-right symmetric).
CASCADE_TEMPLATE = np.array([[0.30, 0.41], [0.70, 0.41], [0.50, 0.65], [0.34, 0.82], [0.66, 0.82]])

# The five-point template of 112 x 112 face-recognition crops.
RECOGNITION_TEMPLATE = np.array([[38.2946, 51.6963], [73.5318, 51.5014], [56.0252, 71.7366],
                                 [41.5493, 92.3655], [70.7299, 92.2041]])


def astronaut_landmarks() -> np.ndarray:
    """The stored landmarks of scikit-image's astronaut portrait (512 x 512)."""
    text = resources.files(__package__).joinpath("astronaut_landmarks.json").read_text()
    return np.array(json.loads(text)["landmarks"], dtype=np.float64)


# ---------------------------------------------------------------- the crop's matrix


def _quad(lm: np.ndarray):
    """The alignment's oriented square from the eyes and mouth corners, and its side."""
    eye_avg = (lm[0] + lm[1]) * 0.5
    eye_to_eye = lm[1] - lm[0]
    eye_to_mouth = (lm[3] + lm[4]) * 0.5 - eye_avg
    x = eye_to_eye - np.flipud(eye_to_mouth) * [-1, 1]
    norm = np.linalg.norm(x)
    if not np.isfinite(norm) or norm == 0:
        return None, 0.0
    x = x / norm * max(np.linalg.norm(eye_to_eye) * 2.0, np.linalg.norm(eye_to_mouth) * 1.8)
    y = np.flipud(x) * [-1, 1]
    c = eye_avg + eye_to_mouth * 0.1
    return np.stack([c - x - y, c - x + y, c + x + y, c + x - y]), float(np.linalg.norm(x) * 2)


def _bounds(quad):
    return (int(np.floor(quad[:, 0].min())), int(np.floor(quad[:, 1].min())),
            int(np.ceil(quad[:, 0].max())), int(np.ceil(quad[:, 1].max())))


def _shift(dx, dy):
    return np.array([[1.0, 0, dx], [0, 1.0, dy], [0, 0, 1.0]])


def _scale(sx, sy):
    """Resizing by (sx, sy) with pixel centres at integers: x' = (x + 0.5) * s - 0.5."""
    return np.array([[sx, 0, 0.5 * sx - 0.5], [0, sy, 0.5 * sy - 0.5], [0, 0, 1.0]])


def ffhq_crop_matrix(landmarks, frame_hw, output_size=256, transform_size=1024, enable_padding=True):
    """The 2 x 3 matrix mapping frame pixels to the pixels of
    ``align_face_ffhq(frame, landmarks, output_size, transform_size, enable_padding)``.

    align_face_ffhq returns the crop only; paste-back needs this matrix. It follows the
    same steps (pre-shrinking, crop, padding, the fit of three quad corners, the final
    resize) and composes their coordinate maps. Returns None when the landmarks give no
    usable face: a degenerate quad, or one that lies wholly outside the frame.
    """
    lm = np.asarray(landmarks, dtype=np.float64)
    quad, qsize = _quad(lm)
    if quad is None:
        return None
    h, w = frame_hw
    left, top, right, bottom = _bounds(quad)
    if right < 0 or bottom < 0 or left >= w or top >= h:
        return None
    chain = np.eye(3)
    shrink = int(np.floor(qsize / output_size * 0.5))
    if shrink > 1:
        rw, rh = int(np.rint(w / shrink)), int(np.rint(h / shrink))
        chain = _scale(rw / w, rh / h) @ chain  # the image really is resized by rw / w ...
        quad, qsize, w, h = quad / shrink, qsize / shrink, rw, rh  # ... its quad divided by shrink
    border = max(int(np.rint(qsize * 0.1)), 3)
    left, top, right, bottom = _bounds(quad)
    crop = (max(left - border, 0), max(top - border, 0), min(right + border, w), min(bottom + border, h))
    if crop[2] - crop[0] < w or crop[3] - crop[1] < h:
        chain = _shift(-crop[0], -crop[1]) @ chain
        quad = quad - crop[:2]
        w, h = crop[2] - crop[0], crop[3] - crop[1]
    left, top, right, bottom = _bounds(quad)
    pad = (max(-left + border, 0), max(-top + border, 0), max(right - w + border, 0), max(bottom - h + border, 0))
    if enable_padding and max(pad) > border - 4:
        least = int(np.rint(qsize * 0.3))
        pad_left, pad_top = max(pad[0], least), max(pad[1], least)
        chain = _shift(pad_left, pad_top) @ chain
        quad = quad + (pad_left, pad_top)
    # Three corners (as float32, as the alignment fits them) onto the transform square.
    src = quad[:3].astype(np.float32).astype(np.float64)
    t = float(transform_size)
    fit = np.linalg.solve(np.c_[src, np.ones(3)], np.array([[0, 0], [0, t], [t, t]])).T
    chain = np.vstack([fit, [0, 0, 1]]) @ chain
    if output_size < transform_size:
        s = output_size / transform_size
        chain = _scale(s, s) @ chain
    return chain[:2]


def resized_crop_matrix(M, from_hw, to_hw) -> np.ndarray:
    """The matrix of a crop cut with M (size from_hw) once resized to to_hw, (height, width)."""
    if tuple(from_hw) == tuple(to_hw):
        return M
    scale = _scale(to_hw[1] / from_hw[1], to_hw[0] / from_hw[0])
    return (scale @ np.vstack([M, [0, 0, 1]]))[:2]


def fit_similarity(src, dst) -> np.ndarray:
    """Least-squares rotation, uniform scale and shift taking points src onto dst (2 x 3)."""
    src, dst = np.asarray(src, np.float64), np.asarray(dst, np.float64)
    rows = []
    for (x, y), (u, v) in zip(src, dst):
        rows.append(([x, -y, 1, 0], u))
        rows.append(([y, x, 0, 1], v))
    a, b, tx, ty = np.linalg.lstsq(np.array([r for r, _ in rows]), np.array([v for _, v in rows]), rcond=None)[0]
    return np.array([[a, -b, tx], [b, a, ty]])


def transform_points(M, points) -> np.ndarray:
    points = np.asarray(points, np.float64)
    return points @ M[:, :2].T + M[:, 2]


# ---------------------------------------------------------------- landmark files


def _five_points(entry, where: str):
    """One face's landmarks from a file entry: None (no face), or a finite (5, 2) array."""
    if entry is None:
        return None
    try:
        points = np.asarray(entry, dtype=np.float64)
    except (TypeError, ValueError):
        raise BadInput(f"{where}: expected five (x, y) points, got {json.dumps(entry)[:60]}") from None
    if points.shape != (5, 2):
        raise BadInput(f"{where}: expected five (x, y) points, shape (5, 2), got shape {points.shape}")
    if np.isnan(points).all():
        return None
    if not np.isfinite(points).all():
        raise BadInput(f"{where}: the points must be finite numbers")
    return points


def _one_face(data) -> bool:
    if isinstance(data, np.ndarray):
        return data.ndim == 2
    first = data[0]
    return isinstance(first, list) and len(first) > 0 and isinstance(first[0], (int, float))


def load_landmarks(path: str) -> list:
    """Landmarks per frame from a .npy or .json file.

    A single face, shape (5, 2), applies to every frame; (frames, 5, 2) gives one face
    per frame. In JSON, a frame without a face is null; in .npy, all-NaN points.
    """
    try:
        if path.lower().endswith(".npy"):
            data = np.load(path, allow_pickle=False)
            if not np.issubdtype(data.dtype, np.number):
                raise BadInput(f"--landmarks {path}: expected numbers, got {data.dtype}")
            data = data.astype(np.float64)
        else:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            if isinstance(data, dict):
                data = data.get("landmarks")
    except OSError as e:
        raise BadInput(f"--landmarks {path}: {e.strerror or e}") from None
    except (ValueError, UnicodeDecodeError) as e:
        raise BadInput(f"--landmarks {path}: not a landmarks file ({str(e).splitlines()[0]})") from None
    if not isinstance(data, (list, np.ndarray)) or len(data) == 0:
        raise BadInput(f"--landmarks {path}: expected five (x, y) points or a list of them per frame")
    if _one_face(data):  # for every frame
        return [_five_points(data, f"--landmarks {path}")]
    return [_five_points(entry, f"--landmarks {path}, frame {i}") for i, entry in enumerate(data)]


# ---------------------------------------------------------------- detectors


class CascadeDetector:
    """scikit-image's LBP frontal-face cascade and a mean-face template.

    The cascade gives a box; the template puts five points in it, and the eyes are then
    refined to the darkest spot near each (the pupils), moving the other points with them.
    The points are approximate. The cascade also fires on some non-faces.
    """

    WORK_SIDE = 640  # the cascade runs on frames shrunk to this longer side

    def __init__(self):
        feature = need("skimage.feature", "the default face detector")
        data = need("skimage.data", "the default face detector")
        self.cascade = feature.Cascade(data.lbp_frontal_face_cascade_filename())

    def __call__(self, image: np.ndarray):
        from skimage.transform import rescale

        gray = image[..., :3].astype(np.float32) @ np.array([0.299, 0.587, 0.114], np.float32)
        gray /= 255.0
        f = min(1.0, self.WORK_SIDE / max(gray.shape))
        small = rescale(gray, f, anti_aliasing=True) if f < 1 else gray
        side = min(small.shape)
        boxes = self.cascade.detect_multi_scale(img=small, scale_factor=1.2, step_ratio=1,
                                                min_size=(max(24, side // 10),) * 2, max_size=(side, side))
        if not boxes:
            return None
        box = max(boxes, key=lambda b: b["width"] * b["height"])
        x, y, s = box["c"] / f, box["r"] / f, box["width"] / f
        points = CASCADE_TEMPLATE * s + (x, y)
        return self._refine_eyes(gray, points, s)

    @staticmethod
    def _refine_eyes(gray, points, side):
        template_eyes = points[:2]
        eyes = []
        r = max(int(side * 0.09), 2)
        for ex, ey in template_eyes:
            x0, y0 = int(ex - 1.5 * r), int(ey - r)
            window = gray[max(y0, 0):max(y0 + 2 * r, 0), max(x0, 0):max(x0 + 3 * r, 0)]
            if window.size == 0:
                return points
            smooth = rk.gaussian_filter(np.asarray(window, np.float32), side * 0.012)
            wy, wx = np.unravel_index(np.argmin(smooth), smooth.shape)
            eyes.append((max(x0, 0) + wx, max(y0, 0) + wy))
        eyes = np.array(eyes, np.float64)
        # Keep the template where the refinement looks implausible.
        d_template = np.linalg.norm(template_eyes[1] - template_eyes[0])
        d = eyes[1] - eyes[0]
        if not (0.75 < np.linalg.norm(d) / d_template < 1.3) or abs(d[1]) > 0.35 * abs(d[0]):
            return points
        return transform_points(fit_similarity(template_eyes, eyes), points)


class YuNetDetector:
    """OpenCV's FaceDetectorYN with a YuNet ONNX file: five points per face directly."""

    def __init__(self, path: str):
        cv2 = need("cv2", "--detector")
        try:
            self.net = cv2.FaceDetectorYN.create(path, "", (320, 320), 0.6, 0.3, 50)
        except cv2.error as e:
            # OpenCV's text: "OpenCV(v) file:line: error: (-2:...) what in function 'f'".
            what = re.search(r"error: \(-?\d+:[^)]*\) (.*?)(?: in function|$)", str(e).strip().splitlines()[-1])
            raise BadInput(f"--detector {path}: OpenCV cannot load it as a YuNet face detector"
                           + (f" ({what.group(1)})" if what else "")) from None
        self.size = None

    def __call__(self, image: np.ndarray):
        h, w = image.shape[:2]
        if self.size != (w, h):
            self.net.setInputSize((w, h))
            self.size = (w, h)
        _, faces = self.net.detect(np.ascontiguousarray(image[..., 2::-1]))  # it reads BGR
        if faces is None or len(faces) == 0:
            return None
        best = max(faces, key=lambda f: f[14])
        # Its order: the eye on the image's left first, then the other, nose, mouth
        # corners left to right: the alignment's order.
        return np.asarray(best[4:14], np.float64).reshape(5, 2)
