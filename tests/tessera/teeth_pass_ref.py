"""An independent numpy reference of the teeth pass arithmetic on a forged bank.

Writes the inputs (bank, sidecar arrays, head weights, frames, masks, shifts, configuration) and the
expected results (windows, skipped flags, coarse and exact scores per retrieval) into a directory.
Every rounding point is made explicit: float32 arithmetic throughout, binary16 where the pass
rounds, sums in the pass's order.
"""
import json
import sys

import numpy as np

f32, f16 = np.float32, np.float16
out = sys.argv[1]
rng = np.random.default_rng(int(sys.argv[2]) if len(sys.argv) > 2 else 5)

# canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad, band_r0, band_r1, band_c0, band_c1, margin
ST = [64, 64, 16, 32, 32, 16, 4, 2, 12, 4, 28, 2]
CW, CH, WX, WY, WW, WH, PAD, BR0, BR1, BC0, BC1, SM = ST
SH, SW = BR1 - BR0 + 2 * SM, BC1 - BC0 + 2 * SM
N = 12
CFG = dict(kshort=8, aperture_tol=0.3, cut=6, K=4, hysteresis=3, lookahead=2)
CC = (32.0, 40.0)

bank = rng.integers(0, 120, (N, SH, SW, 3)).astype(np.uint8)
for d in range(N):
    g = rng.integers(140, 235)
    rows = slice(2 + d % 3, 8 + d % 4)
    teeth = g + rng.integers(-12, 12, (bank[d, rows].shape[0], SW))
    bank[d, rows, :, 0] = np.clip(teeth, 0, 255)
    bank[d, rows, :, 1] = np.clip(teeth + rng.integers(-6, 6, teeth.shape), 0, 255)
    bank[d, rows, :, 2] = np.clip(teeth - 10, 0, 255)
cent = np.array([[CC[0] + rng.integers(-3, 4) + 0.25 * (d % 2), CC[1] + rng.integers(-3, 4)] for d in range(N)])
aperture = np.round(rng.uniform(0.02, 0.05, N), 4)
names = [("cand.0", (16, 7, 3, 3)), ("cand.2", (16, 16, 3, 3)), ("cand.4", (1, 16, 3, 3))]
W = {}
for name, shape in names:
    W[name + ".weight"] = (rng.standard_normal(shape) * 0.25).astype(f32)
    W[name + ".bias"] = (rng.standard_normal(shape[0]) * 0.1).astype(f32)

# Frames: a dark face with a bright mouth made from a perturbed donor, and a mask around it.
frames, masks, shifts = [], [], []
plan = [("derive", 1, 1), ("given", 0, -1), ("empty", 0, 0), ("derive", -2, 0), ("derive", 0, 2),
        ("given", 5, 0), ("derive", 1, -1)]
for k, (how, dy, dx) in enumerate(plan):
    img = rng.integers(30, 90, (CH, CW, 3)).astype(np.uint8)
    d = (3 * k + 1) % N
    patch = bank[d].astype(int) + rng.integers(-8, 8, (SH, SW, 3))
    y0, x0 = WY + dy + BR0 - SM, WX + dx + BC0 - SM
    img[y0:y0 + SH, x0:x0 + SW] = np.clip(patch, 0, 255)
    m = np.zeros((CH, CW), np.uint8)
    if how != "empty":
        yy, xx = np.mgrid[0:CH, 0:CW]
        r = ((xx - (CC[0] + dx)) / 13.0) ** 2 + ((yy - (CC[1] + dy)) / 6.0) ** 2
        m = np.clip((1.6 - r) * 200, 0, 255).astype(np.uint8)
    frames.append(img)
    masks.append(m)
    shifts.append([dy, dx] if how == "given" else [-10000, 0])


def h(x):
    return np.asarray(x, f32).astype(f16).astype(f32)


def pool(a, fct):
    """a: (..., H, W) -> means of whole fct x fct blocks, summed row by row in column order."""
    H, Wd = a.shape[-2] // fct, a.shape[-1] // fct
    s = np.zeros(a.shape[:-2] + (H, Wd), f32)
    for dy in range(fct):
        for dx in range(fct):
            s = (s + a[..., dy:H * fct:fct, dx:Wd * fct:fct]).astype(f32)
    return (s * f32(1.0 / (fct * fct))).astype(f32)


ddx = [int(np.rint(c[0] - CC[0])) for c in cent]
ddy = [int(np.rint(c[1] - CC[1])) for c in cent]


def place(d):
    """Donor d's canonical window: its mouth at the canonical centre, whatever the frame's shift."""
    oy = min(max(PAD + ddy[d], 0), 2 * PAD)
    ox = min(max(PAD + ddx[d], 0), 2 * PAD)
    w = np.zeros((WH, WW, 3), np.uint8)
    for j in range(WH):
        r = j + oy + SM - PAD - BR0
        if not 0 <= r < SH:
            continue
        for mm in range(WW):
            c = mm + ox + SM - PAD - BC0
            if 0 <= c < SW:
                w[j, mm] = bank[d, r, c]
    return w


def planes(win):
    return (win.astype(f32) / f32(255)).transpose(2, 0, 1).astype(f32)


index = [h(pool(planes(place(d)), 4)) for d in range(N)]
band = np.zeros((WH, WW), bool)
band[BR0:BR1, BC0:BC1] = True

state = {"prev": None, "carried": [], "cidx": -2}
scores = []


def seqsum(v):
    v = np.asarray(v, f32).ravel()
    return f32(np.add.accumulate(v, dtype=f32)[-1]) if v.size else f32(0)


def retrieve(img, m, dy, dx):
    y0, x0 = WY + dy, WX + dx
    win = img[y0:y0 + WH, x0:x0 + WW].astype(np.float64)
    mw = (m[y0:y0 + WH, x0:x0 + WW].astype(f32) / f32(255)) > f32(0.5)
    R, G, B = win[..., 0], win[..., 1], win[..., 2]
    w = (mw & (0.299 * R + 0.587 * G + 0.114 * B >= 100) & (np.abs(G - R) < 25)).astype(f32)
    if seqsum(w) < 32:
        w = mw.astype(f32)
    if state["prev"] is not None:
        w = np.maximum(w, (f32(0.6) * state["prev"]).astype(f32))
    state["prev"] = w
    wsum = max(f32(1), seqsum(w))
    rows = np.nonzero(w.any(axis=1))[0]
    rlo, rhi = (rows[0], rows[-1]) if rows.size else (0, WH - 1)
    q = planes(img[y0:y0 + WH, x0:x0 + WW])
    pq = h(pool(q, 4))
    pw = h(pool(w[None], 4))[0]
    pwsum = max(f32(1e-4), seqsum(pw))
    coarse = []
    for d in range(N):
        a = index[d]
        dd = [np.abs(h(a[c] - pq[c])) for c in range(3)]
        mm = h(((dd[0] + dd[1]) + dd[2]) / f32(3))
        t = seqsum(h(mm * pw))
        coarse.append(f32(h(t) / pwsum))
    order = sorted(range(N), key=lambda d: coarse[d])
    short = order[:min(N, CFG["kshort"])]
    qh = h(q)
    exact = []
    for d in short:
        dh = h(planes(place(d)))
        dd = [np.abs(h(qh[c] - dh[c])) for c in range(3)]
        mm = h(((dd[0] + dd[1]) + dd[2]) / f32(3))
        terms = (mm * w).astype(f32)[rlo:rhi + 1]
        keep = w[rlo:rhi + 1] != 0
        exact.append(f32(seqsum(terms[keep]) / wsum))
    scores.append((coarse, exact))
    eo = sorted(range(len(short)), key=lambda i: exact[i])
    b = short[eo[0]]
    ab = aperture[b]
    acc = []
    for i in eo[:min(len(short), CFG["cut"])]:
        if len(acc) >= CFG["K"]:
            break
        if abs(aperture[short[i]] - ab) <= CFG["aperture_tol"] * max(1e-6, ab):
            acc.append(short[i])
    if not acc:
        acc = [b]
    while len(acc) < CFG["K"]:
        acc.append(acc[-1])
    return acc


def conv(x, w, b):
    n, cin, H, Wd = x.shape
    cout = w.shape[0]
    xp = np.zeros((n, cin, H + 2, Wd + 2), f32)
    xp[:, :, 1:-1, 1:-1] = x
    acc = np.zeros((n, cout, H, Wd), f32)
    for ky in range(3):
        for kx in range(3):
            for ci in range(cin):
                acc = (acc + (w[:, ci, ky, kx][None, :, None, None] * xp[:, ci:ci + 1, ky:ky + H, kx:kx + Wd]).astype(f32)).astype(f32)
    return (acc + b[None, :, None, None]).astype(f32)


def head(cand, query):
    Nc = cand.shape[0]
    qp = pool(query, 2)
    cp = pool(cand, 2)
    diff = ((np.abs(cp[:, 0] - qp[0]) + np.abs(cp[:, 1] - qp[1])).astype(f32) + np.abs(cp[:, 2] - qp[2])).astype(f32) / f32(3)
    x = np.concatenate([cp, np.broadcast_to(qp, (Nc,) + qp.shape), diff[:, None].astype(f32)], axis=1).astype(f32)
    a = np.maximum(conv(x, W["cand.0.weight"], W["cand.0.bias"]), f32(0))
    a = np.maximum(conv(a, W["cand.2.weight"], W["cand.2.bias"]), f32(0))
    g = conv(a, W["cand.4.weight"], W["cand.4.bias"])[:, 0]
    h2, w2 = g.shape[1:]
    L = np.zeros((Nc, WH, WW), f32)
    for y in range(WH):
        sy = max(f32(0), f32(f32(f32(y) + f32(0.5)) * f32(0.5)) - f32(0.5))
        y0 = min(h2 - 1, int(sy)); y1 = min(h2 - 1, y0 + 1); ly = f32(sy - f32(y0))
        for x in range(WW):
            sx = max(f32(0), f32(f32(f32(x) + f32(0.5)) * f32(0.5)) - f32(0.5))
            x0 = min(w2 - 1, int(sx)); x1 = min(w2 - 1, x0 + 1); lx = f32(sx - f32(x0))
            top = f32(f32((f32(1) - lx) * g[:, y0, x0]) + f32(lx * g[:, y0, x1]))
            bot = f32(f32((f32(1) - lx) * g[:, y1, x0]) + f32(lx * g[:, y1, x1]))
            L[:, y, x] = (((f32(1) - ly) * top).astype(f32) + (ly * bot).astype(f32)).astype(f32)
    mx = L.max(axis=0)
    e = np.exp((L - mx).astype(f32).astype(np.float64)).astype(f32)
    s = np.add.accumulate(e, axis=0, dtype=f32)[-1]
    return (e / s).astype(f32)


def emit(p, nxt):
    if not p["valid"]:
        return np.zeros((WH, WW, 3), np.uint8), 1
    K = CFG["K"]
    own = p["donors"][:K]
    look = nxt[:CFG["lookahead"]] if nxt is not None else []
    L = [d for d in own if d not in look]
    if state["carried"] and p["idx"] == state["cidx"] + 1:
        cands = list(state["carried"])
        for d in look + L:
            if d not in cands:
                cands.append(d)
    else:
        cands = look + L
    cands = cands[:K]
    dy, dx = p["shift"]
    y0, x0 = WY + dy, WX + dx
    cand = np.stack([planes(place(d)) for d in cands])
    query = planes(p["img"][y0:y0 + WH, x0:x0 + WW])
    wts = head(cand, query)
    bor = query.copy()
    acc = np.zeros((3, WH, WW), f32)
    for k in range(len(cands)):
        acc = (acc + (wts[k][None] * cand[k]).astype(f32)).astype(f32)
    bor[:, band] = acc[:, band]
    total = [seqsum(wts[k]) for k in range(len(cands))]
    order = sorted(range(len(cands)), key=lambda k: -total[k])
    state["carried"] = [cands[k] for k in order[:min(CFG["hysteresis"], len(cands))]]
    state["cidx"] = p["idx"]
    b = (p["mask"][y0:y0 + WH, x0:x0 + WW].astype(f32) / f32(255))[None]
    c = (((f32(1) - b) * query).astype(f32) + (b * bor).astype(f32)).astype(f32)
    byte = np.where(c < 0, 0, np.minimum(255, np.rint(np.minimum(f32(1), c) * f32(255)))).astype(np.uint8)
    return byte.transpose(1, 2, 0), 0


results = []
pend = None
for k, (img, m, sh) in enumerate(zip(frames, masks, shifts)):
    p = {"idx": k, "img": img, "mask": m, "valid": True}
    if sh[0] != -10000:
        dy, dx = sh
    else:
        ys, xs = np.nonzero(m >= 128)
        if ys.size == 0:
            p["valid"] = False
        else:
            dx, dy = int(np.rint(xs.mean() - CC[0])), int(np.rint(ys.mean() - CC[1]))
    if p["valid"] and (abs(dy) > PAD or abs(dx) > PAD):
        p["valid"] = False
    if p["valid"]:
        p["shift"] = (dy, dx)
        p["donors"] = retrieve(img, m, dy, dx)
    if pend is not None:
        results.append(emit(pend, p["donors"] if p["valid"] else None))
    pend = p
results.append(emit(pend, None))

bank.tofile(out + "/bank.u8")
np.asarray(cent, np.float64).tofile(out + "/cent.f64")
np.asarray(aperture, np.float64).tofile(out + "/aperture.f64")
np.concatenate([W[n + s].ravel() for n, _ in names for s in (".weight", ".bias")]).astype(f32).tofile(out + "/head.f32")
np.stack(frames).tofile(out + "/frames.u8")
np.stack(masks).tofile(out + "/masks.u8")
np.asarray(shifts, np.int32).tofile(out + "/shifts.i32")
np.stack([r[0] for r in results]).tofile(out + "/want.u8")
np.asarray([r[1] for r in results], np.int32).tofile(out + "/skipped.i32")
np.concatenate([np.concatenate([np.asarray(c, f32), np.asarray(e, f32)]) for c, e in scores]).tofile(out + "/scores.f32")
json.dump(dict(CFG, stamp=ST, n=N, c_canon=CC, frames=len(frames), retrievals=len(scores)), open(out + "/cfg.json", "w"))
