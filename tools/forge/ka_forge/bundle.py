"""Whole synthetic bundles: manifest.json plus every member, deterministic for a given seed."""
import json
import os

import numpy as np

from . import identity, video

SIZES = {
    # crop, width, height, source frames, driving frames
    "small": (64, 160, 120, 6, 8),
    "medium": (128, 320, 240, 6, 8),
    "large": (512, 1920, 1080, 25, 50),
}


def manifest_dict(nt, width, height, crop, frames, stamp=None, agent="forge", extra=None):
    m = {
        "format": "ka-bundle-v0",
        "agent": agent,
        "NT": nt,
        "W": width,
        "H": height,
        "crop": crop,
        "amount": 1.3,
        "sigma": 2.0,
        "ksize": 13,
        "frames": frames,
    }
    if stamp is not None:
        m["M_src_w"], m["M_src_h"] = stamp
    if extra:
        m.update(extra)
    return m


def lip_template(crop):
    """A "lip-template-v1" outline around the lips (24 vertices on the unit circle), placed by the
    mouth corners and the two lip keypoints of the forge's face layout (rows 15-18)."""
    t = np.linspace(0, 2 * np.pi, 25)[:-1]
    return json.dumps({"format": "lip-template-v1", "edge": "outward", "canvas": crop, "feather_px": 3.0,
                       "u_canon": [[round(float(np.cos(a)), 6), round(float(np.sin(a)), 6)] for a in t],
                       "lip_idx": [15, 16, 17, 18]}, indent=1)


def face_background(n, width, height, seed=0):
    """Frames of a plain drawn face on a soft gradient (the demo's and the tests' background)."""
    return video.synthetic_frames(n, width, height, seed=seed)


def write_bundle(out, size="small", nt=None, frames=None, names="legacy", prior="raw", background="jpeg",
                 lip=False, stamp="canvas", seed=0, backgrounds=None):
    """Writes a complete bundle directory `out`. Returns the manifest dict.

    prior: "raw" (P.f16), "fsred" (fs_red.f16), "both", "hevc" (P_hevc.mov named by the manifest).
    background: "jpeg" (target_frames/), "mp4" (target_frames_mp4), "both" or "none".
    stamp: "canvas" (M authored on W x H), "half" (on W/2 x H/2), "none" (no stamp keys).
    """
    crop, width, height, d_nt, d_frames = SIZES[size]
    nt = d_nt if nt is None else nt
    frames = d_frames if frames is None else frames
    rng = np.random.default_rng(seed)
    os.makedirs(out, exist_ok=True)

    stamp_wh = {"canvas": (width, height), "half": (width // 2, height // 2), "none": None}[stamp]
    extra = {}
    if prior == "hevc":
        extra["P_hevc"] = "P_hevc.mov"
    m = manifest_dict(nt, width, height, crop, frames, stamp=stamp_wh, extra=extra)
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(m, f, indent=1)

    w = lambda legacy, data: identity.write_member(out, legacy, data, names)  # noqa: E731
    w("pooled64.f16", identity.pooled(rng, nt))
    prior_rgb = video.synthetic_prior(nt, crop, seed=seed)
    if prior in ("raw", "both"):
        w("P.f16", identity.raw_prior(prior_rgb))
    if prior in ("fsred", "both"):
        w("fs_red.f16", identity.fs_red(rng, nt))
    if prior == "hevc":
        for p in identity.member_paths(out, "P_hevc.mov", names):
            video.write_prior_hevc(p, prior_rgb)
    sw, sh = stamp_wh or (width, height)
    w("M.f32", identity.paste_transforms(nt, crop, width, height, sw, sh, seed=seed))
    w("mask_512.u8", identity.feathered_mask(crop))
    xs_target = identity.face_keypoints(nt, seed=seed)
    w("xs_target.bin", xs_target)
    xs, xd, si = identity.driving_table(xs_target, frames)
    w("drive/xs.f32", xs)
    w("drive/xd.f32", xd)
    w("drive/si.i32", si)
    if lip:
        with open(os.path.join(out, "lip_template.v1.json"), "w") as f:
            f.write(lip_template(crop))

    if background != "none":
        bg = face_background(nt, width, height, seed=seed) if backgrounds is None else backgrounds
        if background in ("jpeg", "both"):
            video.write_jpeg_dir(os.path.join(out, "target_frames"), bg)
        if background in ("mp4", "both"):
            video.write_h264_mp4(os.path.join(out, "target_frames_mp4"), bg)
    return m


def register(sub):
    p = sub.add_parser("bundle", help="a complete synthetic bundle directory")
    p.add_argument("out")
    p.add_argument("--size", choices=sorted(SIZES), default="small")
    p.add_argument("--nt", type=int)
    p.add_argument("--frames", type=int)
    p.add_argument("--names", choices=["legacy", "canonical", "both"], default="legacy")
    p.add_argument("--prior", choices=["raw", "fsred", "both", "hevc"], default="raw")
    p.add_argument("--background", choices=["jpeg", "mp4", "both", "none"], default="jpeg")
    p.add_argument("--lip", action="store_true")
    p.add_argument("--stamp", choices=["canvas", "half", "none"], default="canvas")
    p.add_argument("--seed", type=int, default=0)
    p.set_defaults(func=lambda a: write_bundle(a.out, a.size, a.nt, a.frames, a.names, a.prior, a.background,
                                               a.lip, a.stamp, a.seed) and None)
