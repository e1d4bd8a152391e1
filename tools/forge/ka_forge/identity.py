"""Identity members: pooled features, warp prior, synthesis features, paste transforms, mask,
target keypoints and the idle loop's driving table."""
import os

import numpy as np

# Legacy name -> canonical name, for the members this module writes.
CANONICAL = {
    "pooled64.f16": "pooled_features.f16",
    "P.f16": "source_frames.f16",
    "fs_red.f16": "feature_synth.f16",
    "P_hevc.mov": "source_frames.hevc",
    "M.f32": "paste_transform.f32",
    "mask_512.u8": "paste_mask.u8",
    "xs_target.bin": "target_keypoints.bin",
    "drive/xs.f32": "idle_loop/source_keypoints.f32",
    "drive/xd.f32": "idle_loop/driven_keypoints.f32",
    "drive/si.i32": "idle_loop/source_index.i32",
}

POOLED_PER_FRAME = 65536
FS_RED_PER_FRAME = 262144
KP = 63  # 21 keypoints x (x, y, z)


def member_paths(bundle_dir, legacy, names):
    """Where member `legacy` goes under the naming scheme `names` (legacy, canonical or both)."""
    out = []
    if names in ("legacy", "both"):
        out.append(os.path.join(bundle_dir, legacy))
    if names in ("canonical", "both"):
        out.append(os.path.join(bundle_dir, CANONICAL.get(legacy, legacy)))
    return out


def write_member(bundle_dir, legacy, data, names="legacy"):
    raw = np.ascontiguousarray(data).tobytes() if isinstance(data, np.ndarray) else bytes(data)
    for p in member_paths(bundle_dir, legacy, names):
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(raw)


def pooled(rng, nt):
    return rng.standard_normal((nt, POOLED_PER_FRAME)).astype(np.float16)


def fs_red(rng, nt):
    return rng.standard_normal((nt, FS_RED_PER_FRAME)).astype(np.float16)


def raw_prior(prior_rgb):
    """float (N, S, S, 3) in [0, 1] -> the raw prior layout: per frame three planes (N, 3, S, S),
    the layout of the director's "P_rgb" input, half precision."""
    return np.ascontiguousarray(np.asarray(prior_rgb, dtype=np.float32).transpose(0, 3, 1, 2)).astype(np.float16)


def paste_transforms(nt, crop, width, height, src_w, src_h, seed=0):
    """Per frame a 2x3 affine map from crop pixels to frame pixels, authored on a src_w x src_h
    canvas: the face sits a little above the centre, scaled to about 60% of the short side, with a
    small sway and tilt from frame to frame."""
    rng = np.random.default_rng(seed)
    out = np.zeros((nt, 6), dtype=np.float32)
    for f in range(nt):
        scale = 0.6 * min(width, height) / crop * (1.0 + 0.02 * np.sin(f * 0.7))
        ang = 0.03 * np.sin(f * 0.45) + 0.005 * rng.standard_normal()
        c, s = np.cos(ang) * scale, np.sin(ang) * scale
        cx = width * 0.5 + 0.01 * width * np.sin(f * 0.3)
        cy = height * 0.45 + 0.01 * height * np.cos(f * 0.25)
        tx = cx - (c * crop / 2 - s * crop / 2)
        ty = cy - (s * crop / 2 + c * crop / 2)
        m = np.array([c, -s, tx, s, c, ty], dtype=np.float64)
        # Authored on the stamp's canvas: the loader scales x by W/src_w and y by H/src_h.
        m[:3] *= src_w / width
        m[3:] *= src_h / height
        out[f] = m.astype(np.float32)
    return out


def feathered_mask(crop):
    """An ellipse, 255 inside, falling to 0 over the outer sixth of the crop."""
    yy, xx = np.mgrid[0:crop, 0:crop].astype(np.float64)
    r = np.sqrt(((xx + 0.5 - crop / 2) / (crop * 0.42)) ** 2 + ((yy + 0.5 - crop / 2) / (crop * 0.48)) ** 2)
    return np.clip((1.0 - r) * 6.0, 0.0, 1.0).__mul__(255.0).round().astype(np.uint8)


def face_keypoints(nt, seed=0):
    """21 plausible face keypoints per source frame in the crop's normalised space [-1, 1]."""
    rng = np.random.default_rng(seed)
    base = np.zeros((21, 3), dtype=np.float64)
    ring = np.linspace(0, 2 * np.pi, 13)[:-1]
    base[:12, 0] = 0.7 * np.cos(ring)
    base[:12, 1] = 0.85 * np.sin(ring)
    base[12:14] = [[-0.3, -0.25, 0.1], [0.3, -0.25, 0.1]]       # eyes
    base[14] = [0.0, 0.05, 0.25]                                 # nose
    base[15:19] = [[-0.25, 0.45, 0.1], [0.25, 0.45, 0.1], [0.0, 0.38, 0.12], [0.0, 0.52, 0.12]]  # mouth
    base[19:21] = [[-0.35, -0.45, 0.05], [0.35, -0.45, 0.05]]   # brows
    out = np.empty((nt, 21, 3), dtype=np.float32)
    for f in range(nt):
        out[f] = base + 0.01 * rng.standard_normal((21, 3))
    return out.reshape(nt, KP)


def mouth_open(rows, amount):
    """Driving rows: the lower lip (keypoint 18) moves down and the corners in by `amount`."""
    out = rows.reshape(-1, 21, 3).copy()
    out[:, 18, 1] += amount
    out[:, 15, 0] += amount * 0.3
    out[:, 16, 0] -= amount * 0.3
    return out.reshape(-1, KP).astype(np.float32)


def driving_table(xs_target, frames):
    """Idle loop of `frames` rows walking the source frames forward; the mouth opens and closes."""
    nt = xs_target.shape[0]
    si = (np.arange(frames) % nt).astype(np.int32)
    xs = xs_target[si] if frames else np.zeros((0, KP), np.float32)
    amounts = 0.12 * (0.5 - 0.5 * np.cos(np.arange(frames) * 2 * np.pi / 12.0))
    xd = np.stack([mouth_open(xs[i:i + 1], amounts[i])[0] for i in range(frames)]) if frames else xs
    return xs.astype(np.float32), xd.astype(np.float32), si
