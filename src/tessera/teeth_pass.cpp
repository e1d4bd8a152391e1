#include "tessera/teeth_pass.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "ops/pool.h"
#include "ops/simd.h"
#include "tessera/members.h"

namespace ka::tessera {
namespace {

constexpr int kHidden = 16, kHeadIn = 7;
constexpr uint64_t kMaxCanonBytes = uint64_t{256} << 20;

float roundHalf(float v) {
  unsigned short h;
  simd::f32ToF16(&v, &h, 1);
  float r;
  simd::f16ToF32(&h, &r, 1);
  return r;
}

uint8_t toByte(float c) {
  if (c < 0.0f) return 0;
  const float v = std::nearbyint(std::min(1.0f, c) * 255.0f);
  return static_cast<uint8_t>(std::min(255.0f, v));
}

// Means of 4 x 4 (or 2 x 2) blocks of `planes` planes of h x w floats, whole blocks only, summed
// row by row in column order.
void poolBy(int f, const float* in, int planes, int h, int w, float* out) {
  const int oh = h / f, ow = w / f;
  const float inv = 1.0f / static_cast<float>(f * f);
  for (int c = 0; c < planes; ++c)
    for (int y = 0; y < oh; ++y)
      for (int x = 0; x < ow; ++x) {
        float s = 0.0f;
        for (int dy = 0; dy < f; ++dy)
          for (int dx = 0; dx < f; ++dx) s += in[(static_cast<size_t>(c) * h + y * f + dy) * w + x * f + dx];
        out[(static_cast<size_t>(c) * oh + y) * ow + x] = s * inv;
      }
}

}  // namespace

struct TeethPass::Impl {
  GeometryStamp st;
  ServeConfig cfg;
  HeadWeights hw;
  int n = 0;
  std::vector<uint8_t> bank;
  std::vector<double> aperture;
  double cc[2] = {0, 0};
  std::vector<int> ddx, ddy;
  int Wh = 0, Ww = 0, ph = 0, pw = 0, sh = 0, sw = 0;
  size_t plane = 0, pplane = 0;
  std::vector<uint8_t> band;
  std::vector<unsigned short> index;  // per donor: 3 pooled half planes
  std::vector<unsigned short> canon;  // per donor: its canonical window as 3 half planes (when kept)
  std::vector<float> prevW;
  bool hasPrev = false;
  std::vector<int> carried;
  int carriedIdx = -2;

  struct Pending {
    int idx = 0;
    std::vector<uint8_t> rgb, mask;
    std::vector<int> donors;
    int dy = 0, dx = 0;
    bool valid = false;
    std::string reason;
  };
  std::unique_ptr<Pending> pending;

  // The work of one retrieval.
  struct RetrieveWork {
    std::vector<float> w;  // teeth weights, window floats
    float wsum = 1.0f, pwsum = 1e-4f;
    int rlo = 0, rhi = 0;                 // rows with weight, inclusive
    std::vector<unsigned short> qF16;     // the window as half planes
    std::vector<unsigned short> pq, pwt;  // pooled query (3 planes) and weights, half
    int y0 = 0, x0 = 0;
  } rw;
  std::vector<float> coarse, exact;
  std::vector<int> shortlist;

  int64_t blended = 0;

  uint8_t donorByte(int d, int oy, int ox, int j, int m, int c) const {
    const int r = j + oy + st.shift_margin - st.pad - st.band_r0;
    const int col = m + ox + st.shift_margin - st.pad - st.band_c0;
    if (r < 0 || r >= sh || col < 0 || col >= sw) return 0;
    return bank[((static_cast<size_t>(d) * sh + r) * sw + col) * 3 + c];
  }
  // Where donor d's canonical window starts in its stored patch: the pad plus the donor's own
  // offset from the canonical centre, within the patch's slack. The frame's shift never enters: the
  // window is already placed at the frame's mouth, so the donor's mouth goes where a centred mouth is.
  int offY(int d) const { return std::clamp(st.pad + ddy[d], 0, 2 * st.pad); }
  int offX(int d) const { return std::clamp(st.pad + ddx[d], 0, 2 * st.pad); }

  // The canonical windows of `donors` as bytes: the windows retrieval scored and composition blends.
  void gatherWindowsU8(const std::vector<int>& donors, uint8_t* out) const {
    for (size_t k = 0; k < donors.size(); ++k) {
      const int d = donors[k], oy = offY(d), ox = offX(d);
      uint8_t* o = out + k * plane * 3;
      for (int j = 0; j < Wh; ++j)
        for (int m = 0; m < Ww; ++m)
          for (int c = 0; c < 3; ++c) o[(static_cast<size_t>(j) * Ww + m) * 3 + c] = donorByte(d, oy, ox, j, m, c);
    }
  }
  // Rows [r0, r1) of donor d's canonical window as half planes (plane stride `plane`).
  void canonicalWindowF16Rows(int d, int r0, int r1, unsigned short* out, std::vector<uint8_t>& row) const {
    const int oy = offY(d), ox = offX(d);
    row.resize(static_cast<size_t>(Ww) * 3);
    for (int j = r0; j < r1; ++j) {
      for (int m = 0; m < Ww; ++m)
        for (int c = 0; c < 3; ++c) row[static_cast<size_t>(m) * 3 + c] = donorByte(d, oy, ox, j, m, c);
      simd::rgb8ToPlanarF16(row.data(), out + static_cast<size_t>(j) * Ww, plane, static_cast<size_t>(Ww));
    }
  }
  void canonicalWindowF16(int d, unsigned short* out, std::vector<uint8_t>& row) const {
    canonicalWindowF16Rows(d, 0, Wh, out, row);
  }

  void buildIndex() {
    index.assign(static_cast<size_t>(n) * 3 * pplane, 0);
    // The exact score reads every shortlisted donor's canonical window each frame: kept whole
    // unless the bank's windows would take more than kMaxCanonBytes.
    const bool keep = static_cast<uint64_t>(n) * 3 * plane * sizeof(unsigned short) <= kMaxCanonBytes;
    if (keep) canon.assign(static_cast<size_t>(n) * 3 * plane, 0);
    pool::parallelRange(static_cast<uint64_t>(n), 8, [&](uint64_t b, uint64_t e) {
      std::vector<uint8_t> row;
      std::vector<uint8_t> bytes(3 * plane);
      std::vector<float> f(3 * plane), p(3 * pplane);
      for (uint64_t d = b; d < e; ++d) {
        // The donor's canonical window as float planes (value / 255), as the query is taken.
        gatherWindowsU8({static_cast<int>(d)}, bytes.data());
        for (size_t i = 0; i < plane; ++i)
          for (int c = 0; c < 3; ++c) f[c * plane + i] = bytes[i * 3 + c] / 255.0f;
        if (keep) canonicalWindowF16(static_cast<int>(d), canon.data() + d * 3 * plane, row);
        poolBy(4, f.data(), 3, Wh, Ww, p.data());
        simd::f32ToF16(p.data(), index.data() + d * 3 * pplane, p.size());
      }
    });
  }

  // Fails with the reason when the shift cannot be served.
  bool deriveShift(const uint8_t* mask, const int* shift, int* dy, int* dx, std::string* reason) const {
    if (shift) {
      *dy = shift[0], *dx = shift[1];
    } else {
      double sx = 0, sy = 0;
      int64_t cnt = 0;
      for (int y = 0; y < st.canvas_h; ++y)
        for (int x = 0; x < st.canvas_w; ++x)
          if (mask[static_cast<size_t>(y) * st.canvas_w + x] >= 128) sx += x, sy += y, ++cnt;
      if (cnt == 0) {
        *reason = "empty-pi";
        return false;
      }
      *dx = static_cast<int>(std::nearbyint(sx / static_cast<double>(cnt) - cc[0]));
      *dy = static_cast<int>(std::nearbyint(sy / static_cast<double>(cnt) - cc[1]));
    }
    // The window must also stay on the canvas, or it would be read from outside the frame.
    const int64_t y0 = int64_t{st.window_y0} + *dy, x0 = int64_t{st.window_x0} + *dx;
    if (std::llabs(*dy) > st.pad || std::llabs(*dx) > st.pad || y0 < 0 || x0 < 0 || y0 + Wh > st.canvas_h ||
        x0 + Ww > st.canvas_w) {
      *reason = "shift-out-of-range";
      return false;
    }
    return true;
  }

  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int dy, int dx) {
    rw.y0 = st.window_y0 + dy, rw.x0 = st.window_x0 + dx;
    const size_t cw = static_cast<size_t>(st.canvas_w);
    rw.w.assign(plane, 0.0f);
    std::vector<float> q(3 * plane);
    rw.qF16.resize(3 * plane);
    float sum = 0.0f;
    for (int j = 0; j < Wh; ++j) {
      const uint8_t* row = rgb + ((rw.y0 + j) * cw + rw.x0) * 3;
      simd::rgb8ToPlanarF16(row, rw.qF16.data() + static_cast<size_t>(j) * Ww, plane, static_cast<size_t>(Ww));
      for (int m = 0; m < Ww; ++m) {
        const size_t p = static_cast<size_t>(j) * Ww + m;
        const double R = row[3 * m], G = row[3 * m + 1], B = row[3 * m + 2];
        for (int c = 0; c < 3; ++c) q[c * plane + p] = row[3 * m + c] / 255.0f;
        const bool inMouth = mask[(rw.y0 + j) * cw + rw.x0 + m] / 255.0f > 0.5f;
        const bool teeth = inMouth && 0.299 * R + 0.587 * G + 0.114 * B >= cfg.bright_threshold &&
                           std::fabs(G - R) < cfg.grey_tolerance;
        rw.w[p] = teeth ? 1.0f : 0.0f;
        sum += rw.w[p];
      }
    }
    if (sum < static_cast<float>(cfg.min_teeth_px))
      for (int j = 0; j < Wh; ++j)
        for (int m = 0; m < Ww; ++m)
          rw.w[static_cast<size_t>(j) * Ww + m] = mask[(rw.y0 + j) * cw + rw.x0 + m] / 255.0f > 0.5f ? 1.0f : 0.0f;
    if (hasPrev) {
      const float decay = static_cast<float>(cfg.decay);
      for (size_t p = 0; p < plane; ++p) rw.w[p] = std::max(rw.w[p], decay * prevW[p]);
    }
    prevW = rw.w;
    hasPrev = true;
    sum = 0.0f;
    rw.rlo = -1;
    for (int j = 0; j < Wh; ++j)
      for (int m = 0; m < Ww; ++m) {
        const float v = rw.w[static_cast<size_t>(j) * Ww + m];
        sum += v;
        if (v != 0.0f) {
          if (rw.rlo < 0) rw.rlo = j;
          rw.rhi = j;
        }
      }
    if (rw.rlo < 0) rw.rlo = 0, rw.rhi = Wh - 1;
    rw.wsum = std::max(1.0f, sum);
    std::vector<float> pooled(3 * pplane);
    poolBy(4, q.data(), 3, Wh, Ww, pooled.data());
    rw.pq.resize(3 * pplane);
    simd::f32ToF16(pooled.data(), rw.pq.data(), pooled.size());
    poolBy(4, rw.w.data(), 1, Wh, Ww, pooled.data());
    rw.pwt.resize(pplane);
    simd::f32ToF16(pooled.data(), rw.pwt.data(), pplane);
    std::vector<float> back(pplane);
    simd::f16ToF32(rw.pwt.data(), back.data(), pplane);
    float ps = 0.0f;
    for (float v : back) ps += v;
    rw.pwsum = std::max(1e-4f, ps);
  }

  float exactTermFromBand(int d, std::vector<unsigned short>& buf, std::vector<uint8_t>& row) const {
    const unsigned short* win = nullptr;
    if (!canon.empty()) {
      win = canon.data() + static_cast<size_t>(d) * 3 * plane;
    } else {
      buf.resize(3 * plane);
      canonicalWindowF16Rows(d, rw.rlo, rw.rhi + 1, buf.data(), row);
      win = buf.data();
    }
    const float t =
        simd::retrieveTermExactRange(rw.qF16.data(), win, rw.w.data(), plane, static_cast<size_t>(rw.rlo) * Ww,
                                     static_cast<size_t>(rw.rhi + 1) * Ww);
    return t / rw.wsum;
  }

  std::vector<int> retrieveSelect() const {
    std::vector<int> order(shortlist.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return exact[a] < exact[b]; });
    const int best = shortlist[order[0]];
    const double ab = aperture[best];
    const double tol = cfg.aperture_tol * std::max(1e-6, ab);
    std::vector<int> out;
    const size_t walk = std::min(order.size(), static_cast<size_t>(cfg.cut));
    for (size_t i = 0; i < walk && out.size() < static_cast<size_t>(cfg.K); ++i) {
      const int d = shortlist[order[i]];
      if (std::fabs(aperture[d] - ab) <= tol) out.push_back(d);
    }
    if (out.empty()) out.push_back(best);
    while (out.size() < static_cast<size_t>(cfg.K)) out.push_back(out.back());
    return out;
  }

  std::vector<int> retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx) {
    retrievePrepare(rgb, mask, dy, dx);
    coarse.assign(static_cast<size_t>(n), 0.0f);
    pool::parallelRange(static_cast<uint64_t>(n), 32, [&](uint64_t b, uint64_t e) {
      for (uint64_t d = b; d < e; ++d)
        coarse[d] =
            roundHalf(simd::retrieveTermPooled(index.data() + d * 3 * pplane, rw.pq.data(), rw.pwt.data(), pplane)) /
            rw.pwsum;
    });
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return coarse[a] < coarse[b]; });
    shortlist.assign(order.begin(), order.begin() + std::min(n, cfg.kshort));
    exact.assign(shortlist.size(), 0.0f);
    pool::parallelRange(shortlist.size(), 4, [&](uint64_t b, uint64_t e) {
      std::vector<unsigned short> buf;
      std::vector<uint8_t> row;
      for (uint64_t i = b; i < e; ++i) exact[i] = exactTermFromBand(shortlist[i], buf, row);
    });
    return retrieveSelect();
  }

  // The blend head over `N` candidates (cand: N x 3 planes, query: 3 planes, both window size);
  // returns the per-pixel blend weights (N x window).
  std::vector<float> headForward(const std::vector<float>& cand, const std::vector<float>& query, int N) const {
    const int h2 = Wh / 2, w2 = Ww / 2;
    const size_t hp = static_cast<size_t>(h2) * w2;
    std::vector<float> logits(static_cast<size_t>(N) * hp, 0.0f);
    if (hp > 0) {
      std::vector<float> qp(3 * hp), in(static_cast<size_t>(N) * kHeadIn * hp);
      poolBy(2, query.data(), 3, Wh, Ww, qp.data());
      for (int k = 0; k < N; ++k) {
        float* o = in.data() + static_cast<size_t>(k) * kHeadIn * hp;
        poolBy(2, cand.data() + static_cast<size_t>(k) * 3 * plane, 3, Wh, Ww, o);
        std::copy(qp.begin(), qp.end(), o + 3 * hp);
        for (size_t p = 0; p < hp; ++p)
          o[6 * hp + p] = (std::fabs(o[p] - qp[p]) + std::fabs(o[hp + p] - qp[hp + p]) +
                           std::fabs(o[2 * hp + p] - qp[2 * hp + p])) /
                          3.0f;
      }
      std::vector<float> a(static_cast<size_t>(N) * kHidden * hp), b(a.size());
      auto conv = [&](const float* x, int cin, const std::vector<float>& w, const std::vector<float>& bias, int cout,
                      float* y, bool relu) {
        pool::parallelRange(static_cast<uint64_t>(N) * cout, 4, [&](uint64_t lo, uint64_t hi) {
          simd::conv3x3Range(x, N, cin, h2, w2, w.data(), bias.data(), cout, y, lo, hi);
          if (relu)
            for (size_t i = lo * hp; i < hi * hp; ++i) y[i] = std::max(0.0f, y[i]);
        });
      };
      conv(in.data(), kHeadIn, hw.cand0_w, hw.cand0_b, kHidden, a.data(), true);
      conv(a.data(), kHidden, hw.cand2_w, hw.cand2_b, kHidden, b.data(), true);
      conv(b.data(), kHidden, hw.cand4_w, hw.cand4_b, 1, logits.data(), false);
    }
    // Upsample x2 (half-pixel centres) and a softmax over the candidates at every pixel.
    std::vector<float> wts(static_cast<size_t>(N) * plane);
    std::vector<float> l(static_cast<size_t>(N));
    for (int y = 0; y < Wh; ++y)
      for (int x = 0; x < Ww; ++x) {
        const size_t p = static_cast<size_t>(y) * Ww + x;
        if (hp > 0) {
          const float sy = std::max(0.0f, (static_cast<float>(y) + 0.5f) * 0.5f - 0.5f);
          const float sx = std::max(0.0f, (static_cast<float>(x) + 0.5f) * 0.5f - 0.5f);
          const int y0 = std::min(h2 - 1, static_cast<int>(sy)), x0 = std::min(w2 - 1, static_cast<int>(sx));
          const int y1 = std::min(h2 - 1, y0 + 1), x1 = std::min(w2 - 1, x0 + 1);
          const float ly = sy - static_cast<float>(y0), lx = sx - static_cast<float>(x0);
          for (int k = 0; k < N; ++k) {
            const float* g = logits.data() + static_cast<size_t>(k) * hp;
            const float top = (1.0f - lx) * g[y0 * w2 + x0] + lx * g[y0 * w2 + x1];
            const float bot = (1.0f - lx) * g[y1 * w2 + x0] + lx * g[y1 * w2 + x1];
            l[k] = (1.0f - ly) * top + ly * bot;
          }
        } else {
          std::fill(l.begin(), l.end(), 0.0f);
        }
        const float mx = *std::max_element(l.begin(), l.end());
        float s = 0.0f;
        for (int k = 0; k < N; ++k) {
          l[k] = static_cast<float>(std::exp(static_cast<double>(l[k] - mx)));
          s += l[k];
        }
        for (int k = 0; k < N; ++k) wts[static_cast<size_t>(k) * plane + p] = l[k] / s;
      }
    return wts;
  }

  void emit(const Pending& pd, const std::vector<int>* next, FrameResult* out) {
    *out = FrameResult();
    out->frameIndex = pd.idx;
    out->window.assign(plane * 3, 0);
    if (!pd.valid) {
      out->skipped = true;
      out->reason = pd.reason;
      return;
    }
    const size_t K = static_cast<size_t>(cfg.K);
    std::vector<int> own(pd.donors.begin(), pd.donors.begin() + std::min(K, pd.donors.size()));
    std::vector<int> look;
    if (next && cfg.lookahead_enabled)
      look.assign(next->begin(), next->begin() + std::min(static_cast<size_t>(cfg.lookahead), next->size()));
    auto in = [](const std::vector<int>& v, int d) { return std::find(v.begin(), v.end(), d) != v.end(); };
    std::vector<int> L;
    for (int d : own)
      if (!in(look, d)) L.push_back(d);
    std::vector<int> cands;
    if (!carried.empty() && pd.idx == carriedIdx + 1) {
      cands = carried;
      for (int d : look)
        if (!in(cands, d)) cands.push_back(d);
      for (int d : L)
        if (!in(cands, d)) cands.push_back(d);
    } else {
      cands = look;
      cands.insert(cands.end(), L.begin(), L.end());
    }
    if (cands.size() > K) cands.resize(K);
    const int N = static_cast<int>(cands.size());
    if (N == 0) {  // nothing to blend: the frame keeps its own window
      out->skipped = true;
      out->reason = "no-donors";
      return;
    }

    out->dy = pd.dy, out->dx = pd.dx;
    const int y0 = st.window_y0 + pd.dy, x0 = st.window_x0 + pd.dx;
    const size_t cw = static_cast<size_t>(st.canvas_w);
    std::vector<uint8_t> bytes(static_cast<size_t>(N) * plane * 3);
    gatherWindowsU8(cands, bytes.data());
    std::vector<float> cand(static_cast<size_t>(N) * 3 * plane), query(3 * plane);
    for (int k = 0; k < N; ++k)
      for (size_t p = 0; p < plane; ++p)
        for (int c = 0; c < 3; ++c)
          cand[(static_cast<size_t>(k) * 3 + c) * plane + p] = bytes[(k * plane + p) * 3 + c] / 255.0f;
    for (int j = 0; j < Wh; ++j)
      for (int m = 0; m < Ww; ++m)
        for (int c = 0; c < 3; ++c)
          query[c * plane + static_cast<size_t>(j) * Ww + m] = pd.rgb[((y0 + j) * cw + x0 + m) * 3 + c] / 255.0f;

    const std::vector<float> wts = headForward(cand, query, N);
    std::vector<float> borrowed(query);
    std::vector<float> total(static_cast<size_t>(N), 0.0f);
    double leadSum = 0.0, leadMax = 0.0;
    int64_t bandPx = 0;
    for (size_t p = 0; p < plane; ++p) {
      float lead = 0.0f;
      for (int k = 0; k < N; ++k) {
        total[k] += wts[k * plane + p];
        lead = std::max(lead, wts[k * plane + p]);
      }
      if (!band[p]) continue;
      for (int c = 0; c < 3; ++c) {
        float acc = 0.0f;
        for (int k = 0; k < N; ++k) acc += wts[k * plane + p] * cand[(static_cast<size_t>(k) * 3 + c) * plane + p];
        borrowed[c * plane + p] = acc;
      }
      leadSum += lead, leadMax = std::max(leadMax, static_cast<double>(lead)), ++bandPx;
    }
    std::vector<int> order(static_cast<size_t>(N));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return total[a] > total[b]; });
    carried.clear();
    for (int i = 0; i < std::min(cfg.hysteresis, N); ++i) carried.push_back(cands[order[i]]);
    carriedIdx = pd.idx;

    pool::parallelRange(static_cast<uint64_t>(Wh), 4, [&](uint64_t b, uint64_t e) {
      for (uint64_t j = b; j < e; ++j)
        for (int m = 0; m < Ww; ++m) {
          const size_t p = j * Ww + m;
          const float bm = pd.mask[(y0 + j) * cw + x0 + m] / 255.0f;
          for (int c = 0; c < 3; ++c) {
            const float v = (1.0f - bm) * query[c * plane + p] + bm * borrowed[c * plane + p];
            out->window[p * 3 + c] = toByte(v);
          }
        }
    });
    out->candidates = N;
    out->leadMean = bandPx ? leadSum / static_cast<double>(bandPx) : 0.0;
    out->leadMax = leadMax;
    ++blended;
  }
};

TeethPass::TeethPass(const BankData& bank, const HeadWeights& weights, const ServeConfig& config)
    : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.st = bank.stamp;
  s.cfg = config;
  s.hw = weights;
  s.st.validate();
  if (config.K > kMaxTesseraDonors || config.kshort < 1 || config.cut < 1 || config.K < 1 || config.hysteresis < 0 ||
      config.lookahead < 0)
    throw std::runtime_error("teeth: serving configuration out of range (K must be 1.." +
                             std::to_string(kMaxTesseraDonors) + ", kshort and cut at least 1)");
  if (weights.cand0_w.size() != 16 * 7 * 9 || weights.cand0_b.size() != 16 || weights.cand2_w.size() != 16 * 16 * 9 ||
      weights.cand2_b.size() != 16 || weights.cand4_w.size() != 16 * 9 || weights.cand4_b.size() != 1)
    throw std::runtime_error("teeth: head weights do not hold the candidate branch");
  const GeometryStamp& st = s.st;
  s.n = bank.n;
  s.Wh = st.window_h, s.Ww = st.window_w;
  s.ph = s.Wh / 4, s.pw = s.Ww / 4;
  s.sh = st.band_r1 - st.band_r0 + 2 * st.shift_margin;
  s.sw = st.band_c1 - st.band_c0 + 2 * st.shift_margin;
  s.plane = static_cast<size_t>(s.Wh) * s.Ww;
  s.pplane = static_cast<size_t>(s.ph) * s.pw;
  if (bank.n < 1 || bank.n > kMaxTesseraDonors)
    throw std::runtime_error("teeth: bank carries " + std::to_string(bank.n) + " donors, not 1.." +
                             std::to_string(kMaxTesseraDonors));
  const uint64_t need = static_cast<uint64_t>(bank.n) * s.sh * s.sw * 3;
  if (bank.patches.size() != need)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank.patches.size()) +
                             " bytes, the stamp requires " + std::to_string(need) +
                             " (n * stored_h * stored_w * 3) \xE2\x80\x94 a decoder that delivered a different pixel "
                             "format would land here");
  if (bank.aperture.size() != static_cast<size_t>(bank.n) || bank.cent.size() != 2 * static_cast<size_t>(bank.n))
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  s.bank = bank.patches;
  s.aperture = bank.aperture;
  s.cc[0] = bank.c_canon[0], s.cc[1] = bank.c_canon[1];
  for (int d = 0; d < s.n; ++d) {
    // Offsets beyond the pad are clamped at placement; bounding them here keeps the arithmetic defined.
    auto off = [&](double v) { return static_cast<int>(std::clamp(std::nearbyint(v), -1e6, 1e6)); };
    s.ddx.push_back(off(bank.cent[2 * d] - s.cc[0]));
    s.ddy.push_back(off(bank.cent[2 * d + 1] - s.cc[1]));
  }
  s.band.assign(s.plane, 0);
  for (int j = st.band_r0; j < st.band_r1; ++j)
    for (int m = st.band_c0; m < st.band_c1; ++m) s.band[static_cast<size_t>(j) * s.Ww + m] = 1;
  s.buildIndex();
}

TeethPass::~TeethPass() = default;

bool TeethPass::push(int frameIndex, const uint8_t* rgb, const uint8_t* mask, const int* shift, FrameResult* out) {
  Impl& s = *impl_;
  const size_t px = static_cast<size_t>(s.st.canvas_w) * s.st.canvas_h;
  auto p = std::make_unique<Impl::Pending>();
  p->idx = frameIndex;
  p->rgb.assign(rgb, rgb + px * 3);
  p->mask.assign(mask, mask + px);
  p->valid = s.deriveShift(mask, shift, &p->dy, &p->dx, &p->reason);
  if (p->valid) p->donors = s.retrieve(rgb, mask, p->dy, p->dx);
  bool filled = false;
  if (s.pending) {
    s.emit(*s.pending, p->valid ? &p->donors : nullptr, out);
    filled = true;
  }
  s.pending = std::move(p);
  return filled;
}

bool TeethPass::flush(FrameResult* out) {
  Impl& s = *impl_;
  if (!s.pending) return false;
  s.emit(*s.pending, nullptr, out);
  s.pending.reset();
  return true;
}

const GeometryStamp& TeethPass::stamp() const { return impl_->st; }
int64_t TeethPass::blendedFrames() const { return impl_->blended; }

const float* TeethPass::dTable() {
  static const std::vector<float> table = [] {
    float v[256];
    for (int k = 0; k < 256; ++k) v[k] = roundHalf(static_cast<float>(k) / 255.0f);
    std::vector<float> t(256 * 256);
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j) t[static_cast<size_t>(i) * 256 + j] = std::fabs(roundHalf(v[j] - v[i]));
    return t;
  }();
  return table.data();
}

std::vector<int> TeethPass::retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx) {
  return impl_->retrieve(rgb, mask, dy, dx);
}
const std::vector<float>& TeethPass::lastCoarse() const { return impl_->coarse; }
const std::vector<float>& TeethPass::lastExact() const { return impl_->exact; }

std::vector<float> TeethPass::exactScoresVector() const {
  const Impl& s = *impl_;
  std::vector<float> out(static_cast<size_t>(s.n));
  std::vector<unsigned short> buf;
  std::vector<uint8_t> row;
  for (int d = 0; d < s.n; ++d) out[d] = s.exactTermFromBand(d, buf, row);
  return out;
}

std::vector<float> TeethPass::exactScoresScalar() const {
  const Impl& s = *impl_;
  const float* D = dTable();
  std::vector<float> out(static_cast<size_t>(s.n));
  // The query bytes back from the half planes: binary16(q / 255) is one-to-one over bytes.
  std::vector<uint8_t> q(3 * s.plane);
  for (size_t i = 0; i < q.size(); ++i) {
    float f;
    simd::f16ToF32(&s.rw.qF16[i], &f, 1);
    q[i] = static_cast<uint8_t>(std::nearbyint(f * 255.0f));
  }
  for (int d = 0; d < s.n; ++d) {
    const int oy = s.offY(d), ox = s.offX(d);
    float total = 0.0f;
    for (int j = s.rw.rlo; j <= s.rw.rhi; ++j)
      for (int m = 0; m < s.Ww; ++m) {
        const size_t p = static_cast<size_t>(j) * s.Ww + m;
        const float w = s.rw.w[p];
        if (w == 0.0f) continue;
        float dd = 0.0f;
        for (int c = 0; c < 3; ++c) dd += D[q[c * s.plane + p] * 256 + s.donorByte(d, oy, ox, j, m, c)];
        total += roundHalf(dd / 3.0f) * w;
      }
    out[d] = total / s.rw.wsum;
  }
  return out;
}

}  // namespace ka::tessera
