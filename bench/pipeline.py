"""The kestrel command's chain on a 1280 x 720 clip against the same chain as a plain loop.

Both sides run the whole typical frame on the same clip with the stand-in networks:
decode, landmarks (the clip's exact ones), FFHQ alignment, swap, enhancement, parsing,
paste-back through the parsed face regions, encode (H.264, audio copied). Ours is the
command's pipeline (kestrel modules, decoding and encoding on their own threads); the
plain side is one loop of PyAV, OpenCV and NumPy calls around the same ONNX Runtime
sessions. Same process, same thread counts (cv2.setNumThreads and OMP_NUM_THREADS), the
two sides alternated; the ratio is ours / plain in seconds per clip, so below 1.0 means
faster. Target: at most 0.8.

    python bench/pipeline.py [--frames N] [--rounds N] [--threads N]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np
from _report import ratio

SIZE = (1280, 720)
PARSE_CLASSES = (1, 3, 14, 15, 16, 17, 18, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13)  # the default table, flattened


class PlainChain:
    """The typical frame with OpenCV and NumPy around the model objects' sessions."""

    def __init__(self, swapper, enhancer, parser, latent):
        from align_paste import PlainPasteBack

        self.swap, self.enhance, self.parse = swapper.session, enhancer.session, parser.session
        self.swap_inputs = [i.name for i in self.swap.get_inputs()]
        self.latent = latent
        self.paster = PlainPasteBack()
        self.ms = {}

    def stage(self, name, start):
        now = time.perf_counter()
        self.ms[name] = self.ms.get(name, 0.0) + (now - start) * 1e3
        return now

    def __call__(self, frame, lm):
        import cv2
        from align_paste import plain_align_face_ffhq, plain_paste_back

        from kestrel.app.faces import ffhq_crop_matrix, resized_crop_matrix

        t = time.perf_counter()
        M = ffhq_crop_matrix(lm, frame.shape[:2], 256)
        crop = plain_align_face_ffhq(frame, lm, output_size=256)
        t = self.stage("align", t)
        batch = np.ascontiguousarray(crop[..., ::-1].transpose(2, 0, 1)[None])
        out = self.swap.run(None, {self.swap_inputs[0]: batch, self.swap_inputs[1]: self.latent})[0]
        face = np.ascontiguousarray(out[0][::-1].transpose(1, 2, 0))
        t = self.stage("swap", t)
        big = cv2.resize(face, (512, 512), interpolation=cv2.INTER_LINEAR)
        batch = np.ascontiguousarray(((big[..., ::-1] - 0.5) / 0.5).transpose(2, 0, 1)[None])
        out = self.enhance.run(None, {self.enhance.get_inputs()[0].name: batch})[0]
        face = np.ascontiguousarray((out[0] * 0.5 + 0.5)[::-1].transpose(1, 2, 0))
        t = self.stage("enhance", t)
        big = cv2.resize(crop, (512, 512), interpolation=cv2.INTER_LINEAR)[..., ::-1]
        # ImageNet mean and std in the network's (B, G, R) order.
        norm = (big - np.array([0.485, 0.456, 0.406], np.float32)) / np.array([0.229, 0.224, 0.225], np.float32)
        scores = self.parse.run(None, {self.parse.get_inputs()[0].name: norm.transpose(2, 0, 1)[None]})[0]
        region = np.isin(scores[0].argmax(axis=0), PARSE_CLASSES).astype(np.float32)
        t = self.stage("segment", t)
        h, w = face.shape[:2]
        region = cv2.GaussianBlur(cv2.resize(region, (w, h)), (0, 0), max(h, w) * 0.01)
        if self.paster.size != (h, w):
            self.paster.size, self.paster.mask = (h, w), self.paster.create_mask((h, w))
        mask = self.paster.mask * region[:, :, None]
        merged = plain_paste_back(frame.astype(np.float32) / np.float32(255), face,
                                  resized_crop_matrix(M, (256, 256), (h, w)), mask)
        result = np.clip(merged * 255 + 0.5, 0, 255).astype(np.uint8)
        self.stage("paste", t)
        return result


def plain_run(clip, out_path, chain, points):
    """Decode, chain and encode in one loop, audio packets copied as they come."""
    import av

    timing = {}
    with av.open(clip) as src, av.open(out_path, "w") as dst:
        video, audio = src.streams.video[0], src.streams.audio[0]
        video.thread_type = "AUTO"
        ov = dst.add_stream("libx264", rate=video.average_rate, options={"crf": "18", "preset": "veryfast"})
        ov.width, ov.height, ov.pix_fmt, ov.time_base = video.width, video.height, "yuv420p", video.time_base
        oa = dst.add_stream_from_template(audio)
        i = 0
        for packet in src.demux(video, audio):
            if packet.stream.type == "audio":
                if packet.dts is not None:
                    packet.stream = oa
                    dst.mux(packet)
                continue
            t = time.perf_counter()
            for frame in packet.decode():
                image = frame.to_ndarray(format="rgb24")
                timing["decode"] = timing.get("decode", 0.0) + (time.perf_counter() - t) * 1e3
                result = chain(image, points[i])
                i += 1
                t = time.perf_counter()
                out = av.VideoFrame.from_ndarray(result, format="rgb24")
                out.pts, out.time_base = frame.pts, frame.time_base
                dst.mux(ov.encode(out))
                timing["encode"] = timing.get("encode", 0.0) + (time.perf_counter() - t) * 1e3
                t = time.perf_counter()
        dst.mux(ov.encode())
    return timing


def ours_run(clip, out_path, chain, points):
    from kestrel.app.cli import landmarks_from
    from kestrel.app.media import VideoSink, VideoSource
    from kestrel.app.pipeline import Clock, run

    source = VideoSource(clip)
    sink = VideoSink(out_path, source)
    clock = Clock()
    try:
        summary = run(source.frames(on_audio=sink.queue_audio), sink, chain, landmarks_from(points, None), clock)
        sink.finish()
    except BaseException:
        sink.abort()
        raise
    finally:
        source.close()
    return summary


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()

    os.environ["OMP_NUM_THREADS"] = str(args.threads)  # rasterkit's thread team, before it starts
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import av
    import cv2
    import skimage.data

    from kestrel.app.demo import make_clip
    from kestrel.app.faces import astronaut_landmarks, transform_points
    from kestrel.app.models import default_latent, load_model
    from kestrel.app.pipeline import STAGES, Chain, table

    cv2.setNumThreads(args.threads)
    swapper, enhancer, parser_ = (load_model(role, None, "onnx", "cpu") for role in ("swap", "enhance", "parse"))
    latent = default_latent()
    ours_chain = Chain(swapper, latent, enhancer, parser_)
    plain_chain = PlainChain(swapper, enhancer, parser_, latent)

    with tempfile.TemporaryDirectory() as folder:
        clip = os.path.join(folder, "clip.mp4")
        matrices = make_clip(clip, skimage.data.astronaut(), args.frames, SIZE)
        points = [transform_points(M, astronaut_landmarks()) for M in matrices]
        ours_out, plain_out = os.path.join(folder, "ours.mp4"), os.path.join(folder, "plain.mp4")

        # Same work on both sides: the two results agree up to resampling differences.
        ours_run(clip, ours_out, ours_chain, points)
        plain_run(clip, plain_out, plain_chain, points)
        with av.open(ours_out) as a, av.open(plain_out) as b:
            diffs = [np.abs(x.to_ndarray(format="rgb24").astype(int) - y.to_ndarray(format="rgb24")).mean()
                     for x, y in zip(a.decode(video=0), b.decode(video=0))]
        assert len(diffs) == args.frames and max(diffs) < 3, f"results differ: {max(diffs):.2f}"

        ours_s, plain_s = [], []
        for _ in range(args.rounds):
            t = time.perf_counter()
            summary = ours_run(clip, ours_out, ours_chain, points)
            ours_s.append(time.perf_counter() - t)
            plain_chain.ms = {}
            t = time.perf_counter()
            plain_io = plain_run(clip, plain_out, plain_chain, points)
            plain_s.append(time.perf_counter() - t)

    ours, plain = statistics.median(ours_s), statistics.median(plain_s)
    print(f"{args.frames} frames {SIZE[0]}x{SIZE[1]}, stand-in networks on ONNX Runtime CPU (one set of "
          f"sessions for both sides), {args.threads} threads, median of {args.rounds} rounds")
    print(f"  kestrel pipeline  {args.frames / ours:7.2f} frames/s")
    print(f"  plain loop        {args.frames / plain:7.2f} frames/s")
    print(f"  ratio             {ours / plain:7.3f}  (ours / plain in seconds; target <= 0.8)")
    ratio("pipeline", f"whole chain, {args.frames} frames {SIZE[0]}x{SIZE[1]}", args.threads, ours / plain, 0.8)
    print(f"  max mean |diff| between the two results: {max(diffs):.2f} of 255\n")
    print("kestrel pipeline, last round:")
    print(table(summary))
    plain_ms = {**plain_chain.ms, **plain_io}
    print("\nplain loop, last round (one thread):")
    total = sum(plain_ms.values())
    for stage in STAGES:
        if stage in plain_ms:
            print(f"{stage:<10}{plain_ms[stage] / args.frames:>10.1f}{100 * plain_ms[stage] / total:>10.1f} %")
    return 0


if __name__ == "__main__":
    sys.exit(main())
