#include "graph/onnx_wire.h"

#include <cstring>
#include <stdexcept>

namespace ka {

namespace {

[[noreturn]] void badVarint() { throw std::runtime_error("onnx: bad varint"); }
[[noreturn]] void truncated() { throw std::runtime_error("onnx: truncated"); }
[[noreturn]] void badWireType() { throw std::runtime_error("onnx: bad wire type"); }

// ONNX message field numbers this file reads or writes.
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeAttr = 5;
constexpr uint32_t kAttrName = 1, kAttrF = 2, kAttrI = 3, kAttrS = 4, kAttrT = 5, kAttrInts = 8, kAttrType = 20;
constexpr uint32_t kAttrTypeInt = 2, kAttrTypeString = 3, kAttrTypeInts = 7;
constexpr uint32_t kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorName = 8, kTensorRaw = 9;
constexpr int64_t kTensorFloat = 1;

constexpr const char* kPRgb = "P_rgb";

float floatFromLe(const uint8_t* p) {
  uint32_t u = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Appends `n` little-endian float32 values; false when the byte count is not a multiple of 4.
bool appendFloats(GsSlice bytes, std::vector<float>& out) {
  if (bytes.n % 4 != 0) return false;
  for (size_t i = 0; i < bytes.n; i += 4) out.push_back(floatFromLe(bytes.p + i));
  return true;
}

}  // namespace

bool GsSlice::equals(const char* s) const {
  size_t len = std::strlen(s);
  return len == n && (n == 0 || std::memcmp(p, s, n) == 0);
}

uint64_t gsReadVarint(const uint8_t** pos, const uint8_t* end) {
  const uint8_t* p = *pos;
  uint64_t v = 0;
  // Ten groups of 7 bits cover 64; the tenth group lands at shift 63, so its upper bits fall off.
  for (unsigned shift = 0; shift <= 63; shift += 7) {
    if (p == end) badVarint();
    uint8_t b = *p++;
    v |= uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) {
      *pos = p;
      return v;
    }
  }
  badVarint();
}

bool GsReader::next(GsField& f) {
  if (pos_ >= end_) return false;
  const uint8_t* start = pos_;
  uint64_t tag = gsReadVarint(&pos_, end_);
  f.no = uint32_t(tag >> 3);
  f.wt = uint32_t(tag & 7);
  f.v = 0;
  f.payload = GsSlice();
  switch (f.wt) {
    case kWireVarint:
      f.v = gsReadVarint(&pos_, end_);
      break;
    case kWireFixed64:
      if (end_ - pos_ < 8) truncated();
      pos_ += 8;
      break;
    case kWireFixed32:
      if (end_ - pos_ < 4) truncated();
      pos_ += 4;
      break;
    case kWireBytes: {
      uint64_t len = gsReadVarint(&pos_, end_);
      if (len > uint64_t(end_ - pos_)) truncated();
      f.payload = GsSlice(pos_, size_t(len));
      pos_ += len;
      break;
    }
    default:
      badWireType();
  }
  f.raw = GsSlice(start, size_t(pos_ - start));
  return true;
}

bool PbReader::next(PbField& f) {
  GsField g;
  if (!r_.next(g)) return false;
  f.no = g.no;
  f.wt = g.wt;
  f.v = g.v;
  f.payload = g.payload;
  return true;
}

// ---- Lookups -------------------------------------------------------------------------------------

GsSlice gsFirstBytes(GsSlice msg, uint32_t fieldNo) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.no == fieldNo && f.wt == kWireBytes) return f.payload;
  return GsSlice();
}

GsSlice gsGraphOf(GsSlice model) { return gsFirstBytes(model, kModelGraph); }

std::string gsFirstStr(GsSlice msg, uint32_t fieldNo) { return gsFirstBytes(msg, fieldNo).str(); }

void gsAllStr(GsSlice msg, uint32_t fieldNo, std::vector<std::string>& out) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.no == fieldNo && f.wt == kWireBytes) out.push_back(f.payload.str());
}

GsSlice hcPayload(GsSlice msg) {
  GsReader r(msg);
  GsField f;
  if (r.next(f) && f.wt == kWireBytes) return f.payload;
  return GsSlice();
}

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.no != kNodeAttr || f.wt != kWireBytes) continue;
    const GsAttr a = gsReadAttr(f.payload);
    if (a.name.equals("value")) return a.t;
  }
  return GsSlice();
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  int64_t dataType = 0;
  bool hasRaw = false, hasFloatData = false, floatDataOk = true;
  GsSlice raw;
  std::vector<float> floatData;
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.no == kTensorDataType && f.wt == kWireVarint) {
      dataType = int64_t(f.v);
    } else if (f.no == kTensorRaw && f.wt == kWireBytes) {
      hasRaw = true;
      raw = f.payload;
    } else if (f.no == kTensorFloatData && f.wt == kWireBytes) {
      hasFloatData = true;
      floatDataOk = appendFloats(f.payload, floatData) && floatDataOk;
    } else if (f.no == kTensorFloatData && f.wt == kWireFixed32) {
      hasFloatData = true;
      floatData.push_back(floatFromLe(f.raw.p + f.raw.n - 4));
    }
  }
  if (dataType != kTensorFloat) return false;
  if (hasRaw) {
    if (appendFloats(raw, out)) return true;
    out.clear();
    return false;
  }
  if (!hasFloatData || !floatDataOk) return false;
  out.swap(floatData);
  return true;
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f)) {
    if (f.no != kTensorDims) continue;
    if (f.wt == kWireVarint) {
      out.push_back(int64_t(f.v));
    } else if (f.wt == kWireBytes) {
      const uint8_t* p = f.payload.p;
      const uint8_t* end = p + f.payload.n;
      while (p < end) out.push_back(int64_t(gsReadVarint(&p, end)));
    }
  }
}

GsAttr gsReadAttr(GsSlice attr) {
  GsAttr a;
  GsReader r(attr);
  GsField f;
  while (r.next(f)) {
    if (f.no == kAttrName && f.wt == kWireBytes) {
      a.name = f.payload;
    } else if (f.no == kAttrS && f.wt == kWireBytes) {
      a.s = f.payload;
    } else if (f.no == kAttrT && f.wt == kWireBytes) {
      a.t = f.payload;
    } else if (f.no == kAttrI && f.wt == kWireVarint) {
      a.hasI = true;
      a.i = f.v;
    } else if (f.no == kAttrF && f.wt == kWireFixed32) {
      a.hasF = true;
      a.f = floatFromLe(f.raw.p + f.raw.n - 4);
    }
  }
  return a;
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs a;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.no != kNodeAttr || f.wt != kWireBytes) continue;
    const GsAttr at = gsReadAttr(f.payload);
    if (at.name.equals("mode")) {
      a.mode = at.s.str();
    } else if (at.name.equals("coordinate_transformation_mode")) {
      a.coordinateTransformationMode = at.s.str();
    } else if (at.name.equals("keep_aspect_ratio_policy")) {
      a.keepAspectRatioPolicy = at.s.str();
    } else if (at.name.equals("cubic_coeff_a")) {
      a.hasCubicCoeffA = true;
      if (at.hasF) a.cubicCoeffA = at.f;
    } else if (at.name.equals("axes")) {
      a.hasAxes = true;
    } else if (at.name.equals("exclude_outside")) {
      a.excludeOutside = at.hasI && at.i != 0;
    } else if (at.name.equals("antialias")) {
      a.antialias = at.hasI && at.i != 0;
    }
  }
  return a;
}

bool ldInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims) {
  dims.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.no != kGraphInput || f.wt != kWireBytes) continue;
    if (gsFirstBytes(f.payload, 1).str() != name) continue;
    GsSlice type = gsFirstBytes(f.payload, 2);
    GsSlice tensorType = gsFirstBytes(type, 1);
    GsSlice shape = gsFirstBytes(tensorType, 2);
    GsReader sr(shape);
    GsField d;
    while (sr.next(d)) {
      if (d.no != 1 || d.wt != kWireBytes) continue;
      int64_t value = 0;
      GsReader dr(d.payload);
      GsField dv;
      while (dr.next(dv))
        if (dv.no == 1 && dv.wt == kWireVarint) value = int64_t(dv.v);
      dims.push_back(value);
    }
    return true;
  }
  return false;
}

bool dimsEq(const std::vector<int64_t>& dims, const std::vector<int64_t>& expected) { return dims == expected; }

// ---- Emitters ------------------------------------------------------------------------------------

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v) | 0x80);
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t fieldNo, const void* data, size_t n) {
  gsPutVarint(out, uint64_t(fieldNo) << 3 | kWireBytes);
  gsPutVarint(out, n);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  if (n) out.insert(out.end(), p, p + n);
}

void gsPutBytes(std::vector<uint8_t>& out, uint32_t fieldNo, const std::string& s) {
  gsPutBytes(out, fieldNo, s.data(), s.size());
}

void gsPutVarintField(std::vector<uint8_t>& out, uint32_t fieldNo, uint64_t v) {
  gsPutVarint(out, uint64_t(fieldNo) << 3 | kWireVarint);
  gsPutVarint(out, v);
}

void gsPutRaw(std::vector<uint8_t>& out, GsSlice bytes) {
  if (bytes.n) out.insert(out.end(), bytes.p, bytes.p + bytes.n);
}

void GsSink::raw(GsSlice s) {
  n_ += s.n;
  if (out_) gsPutRaw(*out_, s);
}

void GsSink::varint(uint64_t v) {
  if (out_) {
    size_t before = out_->size();
    gsPutVarint(*out_, v);
    n_ += out_->size() - before;
    return;
  }
  do {
    ++n_;
    v >>= 7;
  } while (v);
}

void GsSink::bytes(uint32_t fieldNo, const void* p, size_t n) {
  varint(uint64_t(fieldNo) << 3 | kWireBytes);
  varint(n);
  raw(p, n);
}

void hcAttrI(std::vector<uint8_t>& out, const std::string& name, int64_t value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  gsPutVarintField(a, kAttrI, uint64_t(value));
  gsPutVarintField(a, kAttrType, kAttrTypeInt);
  gsPutBytes(out, kNodeAttr, a.data(), a.size());
}

void hcAttrIs(std::vector<uint8_t>& out, const std::string& name, const std::vector<int64_t>& values) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, name);
  for (int64_t v : values) gsPutVarintField(a, kAttrInts, uint64_t(v));
  gsPutVarintField(a, kAttrType, kAttrTypeInts);
  gsPutBytes(out, kNodeAttr, a.data(), a.size());
}

void hcAttrS(std::vector<uint8_t>& out, const std::string& value) {
  std::vector<uint8_t> a;
  gsPutBytes(a, kAttrName, std::string("mode"));
  gsPutBytes(a, kAttrS, value);
  gsPutVarintField(a, kAttrType, kAttrTypeString);
  gsPutBytes(out, kNodeAttr, a.data(), a.size());
}

void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrs) {
  std::vector<uint8_t> n;
  for (const auto& in : inputs) gsPutBytes(n, kNodeInput, in);
  gsPutBytes(n, kNodeOutput, output);
  gsPutBytes(n, kNodeName, name);
  gsPutBytes(n, kNodeOpType, opType);
  gsPutRaw(n, attrs);
  gsPutBytes(out, kGraphNode, n.data(), n.size());
}

void hcInit(std::vector<uint8_t>& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            GsSlice raw) {
  GsSink s(&out);
  s.message(kGraphInit, [&](GsSink& t) {
    for (int64_t d : dims) {
      t.varint(kTensorDims << 3 | kWireVarint);
      t.varint(uint64_t(d));
    }
    t.varint(kTensorDataType << 3 | kWireVarint);
    t.varint(uint64_t(int64_t(dataType)));
    t.bytes(kTensorName, name);
    t.bytes(kTensorRaw, raw.p, raw.n);
  });
}

void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t fieldNo, const std::string& name, const int64_t* dims,
                          int rank) {
  // ValueInfoProto{name, type: TypeProto{tensor_type: {elem_type FLOAT, shape: {dim...}}}}
  std::vector<uint8_t> shape;
  for (int d = 0; d < rank; ++d) {
    std::vector<uint8_t> dim;
    if (dims[d] > 0)
      gsPutVarintField(dim, 1, uint64_t(dims[d]));
    else
      gsPutBytes(dim, 2, "ka_hoist_d" + std::to_string(d));
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  std::vector<uint8_t> tensor;
  gsPutVarintField(tensor, 1, uint64_t(kTensorFloat));
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  std::vector<uint8_t> type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  std::vector<uint8_t> vi;
  gsPutBytes(vi, 1, name);
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(out, fieldNo, vi.data(), vi.size());
}

// ---- Rebuilding ----------------------------------------------------------------------------------

namespace {

// Walks one graph payload, sending every kept field to `sink` and appending the new value info when
// `addHere`. Returns whether anything was dropped or added; `nodes` is advanced by the number of
// node fields seen, so positions continue across repeated graph fields (protobuf merges them).
bool editGraph(GsSlice graph, const GsGraphEdit& edit, bool addHere, size_t& nodes, GsSink& sink) {
  bool changed = false;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    bool keep = true;
    if (f.wt == kWireBytes) {
      switch (f.no) {
        case kGraphNode: {
          size_t i = nodes++;
          keep = !(i < edit.dropNodes.size() && edit.dropNodes[i]);
          break;
        }
        case kGraphInput: {
          bool isPRgb = gsFirstBytes(f.payload, 1).equals(kPRgb);
          keep = edit.keepOnlyPRgb ? (isPRgb && !edit.dropPRgb) : !(edit.dropPRgb && isPRgb);
          break;
        }
        case kGraphOutput:
          keep = !edit.dropOutputs;
          break;
        case kGraphValueInfo:
          keep = edit.addName.empty() || !gsFirstBytes(f.payload, 1).equals(edit.addName.c_str());
          break;
        default:
          break;
      }
    }
    if (keep)
      sink.raw(f.raw);
    else
      changed = true;
  }
  if (addHere) {
    std::vector<uint8_t> vi;
    gsPutTensorValueInfo(vi, edit.addFieldNo, edit.addName, edit.addDims.data(), int(edit.addDims.size()));
    sink.raw(vi);
    changed = true;
  }
  return changed;
}

}  // namespace

void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out) {
  out.clear();
  out.reserve(model.n + 256);
  bool pendingAdd = !edit.addName.empty() && edit.addFieldNo != 0;
  size_t nodes = 0;
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (f.no != kModelGraph || f.wt != kWireBytes) {
      gsPutRaw(out, f.raw);
      continue;
    }
    // Measure first; an untouched graph is copied as it was (tag and length bytes included).
    size_t first = nodes;
    GsSink measure(nullptr);
    if (!editGraph(f.payload, edit, pendingAdd, nodes, measure)) {
      gsPutRaw(out, f.raw);
      continue;
    }
    gsPutVarint(out, kModelGraph << 3 | kWireBytes);
    gsPutVarint(out, measure.size());
    GsSink write(&out);
    size_t again = first;
    editGraph(f.payload, edit, pendingAdd, again, write);
    pendingAdd = false;
  }
}

}  // namespace ka
