// Protobuf wire toolkit for ONNX model bytes held in memory.
//
// The load-time graph rewrites edit models of tens of megabytes at every renderer construction, so
// nothing here parses a model into objects: a forward-only reader yields field records that point
// into the model bytes, a few lookups find the ONNX fields the rewrites care about, emitters append
// new fields, and the rebuilder copies everything it does not touch as raw byte spans. Fields the
// toolkit does not model (metadata, doc strings, large initializers) pass through byte for byte.
//
// Malformed input throws std::runtime_error with exactly one of "onnx: bad varint",
// "onnx: truncated" or "onnx: bad wire type". Lookups that find nothing return empty results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// A read-only view of bytes; the owner of the bytes must outlive it.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  GsSlice() = default;
  GsSlice(const uint8_t* data, size_t size) : p(data), n(size) {}
  GsSlice(const std::vector<uint8_t>& v) : p(v.data()), n(v.size()) {}  // NOLINT: views convert

  bool empty() const { return n == 0; }
  std::string str() const { return std::string(reinterpret_cast<const char*>(p), n); }
  bool equals(const char* s) const;
};

// Protobuf wire types the reader accepts (3, 4, 6 and 7 are refused).
enum : uint32_t { kWireVarint = 0, kWireFixed64 = 1, kWireBytes = 2, kWireFixed32 = 5 };

// One field as the reader saw it.
struct GsField {
  uint32_t no = 0;  // field number (the tag shifted right by 3, kept to 32 bits)
  uint32_t wt = 0;  // wire type, 0..7
  uint64_t v = 0;   // the value of a varint field (wire type 0)
  GsSlice payload;  // the payload of a length-delimited field (wire type 2)
  GsSlice raw;      // the whole field, tag through payload, for verbatim copies
};

// Forward-only reader over one message's bytes. A nested message is read by a new reader over the
// payload of its field; there is no nesting stack.
class GsReader {
 public:
  explicit GsReader(GsSlice msg) : pos_(msg.p), end_(msg.p + msg.n) {}
  // False at the end of the range; otherwise fills `f` and moves past the field. Throws on
  // malformed bytes (the position is then unspecified).
  bool next(GsField& f);

 private:
  const uint8_t* pos_;
  const uint8_t* end_;
};

// The same wire rules without the raw span, for callers that only look at values.
struct PbField {
  uint32_t no = 0;
  uint32_t wt = 0;
  uint64_t v = 0;
  GsSlice payload;
};

class PbReader {
 public:
  explicit PbReader(GsSlice msg) : r_(msg) {}
  bool next(PbField& f);

 private:
  GsReader r_;
};

// Reads one base-128 varint at `*pos` (at most 10 bytes, before `end`) and advances `*pos`.
uint64_t gsReadVarint(const uint8_t** pos, const uint8_t* end);

// ---- Lookups -------------------------------------------------------------------------------------

// Payload of the first ModelProto graph field (7) of wire type 2, or an empty range.
GsSlice gsGraphOf(GsSlice model);
// The first wire-type-2 field numbered `fieldNo`, as a string; empty when absent.
std::string gsFirstStr(GsSlice msg, uint32_t fieldNo);
// Payload of the first wire-type-2 field numbered `fieldNo`; empty when absent.
GsSlice gsFirstBytes(GsSlice msg, uint32_t fieldNo);
// Appends every wire-type-2 field numbered `fieldNo`, in order (a node's inputs or outputs).
void gsAllStr(GsSlice msg, uint32_t fieldNo, std::vector<std::string>& out);
// The fields of one AttributeProto that the rewrites read (singular fields: last occurrence).
struct GsAttr {
  GsSlice name;  // field 1
  GsSlice s;     // field 4, a string value
  GsSlice t;     // field 5, a tensor value
  bool hasI = false, hasF = false;
  uint64_t i = 0;  // field 3, an integer value (two's complement for negatives)
  float f = 0.f;   // field 2, a float value
};
GsAttr gsReadAttr(GsSlice attr);

// Payload of the message's first field when it is wire type 2, else empty.
GsSlice hcPayload(GsSlice msg);
// The tensor (attribute field 5) of a node's attribute named "value", or empty.
GsSlice hcConstValue(GsSlice node);
// True when the tensor's data_type is FLOAT and data were found: raw_data (little-endian float32)
// when present, otherwise float_data (packed, or one fixed32 per field). raw_data wins.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
// Replaces `out` with the tensor's dims (packed or unpacked varints).
void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);

// The attributes of a Resize node that the head cubic rewrite inspects.
struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  std::string keepAspectRatioPolicy;
  bool hasCubicCoeffA = false;
  bool hasAxes = false;
  bool excludeOutside = false;  // exclude_outside given and non-zero
  bool antialias = false;       // antialias given and non-zero
  float cubicCoeffA = -0.75f;
};
HcAttrs hcReadAttrs(GsSlice node);

// The declared dimensions of the graph input named `name` (dim_value per Dimension, 0 for one
// without). False, with `dims` emptied, when there is no such input.
bool ldInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims);
// True when the rank and every dimension match.
bool dimsEq(const std::vector<int64_t>& dims, const std::vector<int64_t>& expected);

// ---- Emitters (append to a byte vector) ----------------------------------------------------------

void gsPutVarint(std::vector<uint8_t>& out, uint64_t v);
// Tag (fieldNo * 8 + 2), length, payload.
void gsPutBytes(std::vector<uint8_t>& out, uint32_t fieldNo, const void* data, size_t n);
void gsPutBytes(std::vector<uint8_t>& out, uint32_t fieldNo, const std::string& s);
// Tag (fieldNo * 8), varint value.
void gsPutVarintField(std::vector<uint8_t>& out, uint32_t fieldNo, uint64_t v);
// The bytes verbatim (a raw span copied from a reader).
void gsPutRaw(std::vector<uint8_t>& out, GsSlice bytes);

// NodeProto attributes (node field 5).
void hcAttrI(std::vector<uint8_t>& out, const std::string& name, int64_t value);
void hcAttrIs(std::vector<uint8_t>& out, const std::string& name, const std::vector<int64_t>& values);
// An attribute named "mode" with string value `value`.
void hcAttrS(std::vector<uint8_t>& out, const std::string& value);
// A GraphProto node (graph field 1) in the default ONNX domain: inputs, the one output, name,
// op_type, then `attrs` (attribute fields made by hcAttr*) unchanged.
void hcNode(std::vector<uint8_t>& out, const std::string& opType, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const std::vector<uint8_t>& attrs);
// A GraphProto initializer (graph field 5): dims, data_type, name, raw_data.
void hcInit(std::vector<uint8_t>& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            GsSlice raw);
// A float tensor ValueInfoProto under graph field `fieldNo` (11 input, 12 output, 13 value_info).
// A dimension that is not positive is written as dim_param "ka_hoist_d<index>".
void gsPutTensorValueInfo(std::vector<uint8_t>& out, uint32_t fieldNo, const std::string& name, const int64_t* dims,
                          int rank);

// ---- Two-pass message writing --------------------------------------------------------------------

// A byte sink that either measures (no vector) or appends. A message body is run once to measure
// its length and once to write it, so a large graph is written behind its length prefix without an
// intermediate copy. Bodies must therefore be repeatable: same input, same bytes.
class GsSink {
 public:
  explicit GsSink(std::vector<uint8_t>* out) : out_(out) {}
  void raw(GsSlice s);
  void raw(const void* p, size_t n) { raw(GsSlice(static_cast<const uint8_t*>(p), n)); }
  void varint(uint64_t v);
  void bytes(uint32_t fieldNo, const void* p, size_t n);
  void bytes(uint32_t fieldNo, const std::string& s) { bytes(fieldNo, s.data(), s.size()); }
  // A length-delimited field whose payload `body(GsSink&)` produces.
  template <class Body>
  void message(uint32_t fieldNo, Body&& body) {
    GsSink measure(nullptr);
    body(measure);
    varint(uint64_t(fieldNo) << 3 | kWireBytes);
    varint(measure.size());
    body(*this);
  }
  size_t size() const { return n_; }

 private:
  std::vector<uint8_t>* out_;
  size_t n_ = 0;
};

// ---- Rebuilding ----------------------------------------------------------------------------------

// Writes `model` into `out` (cleared first; its capacity is kept): every field byte for byte except
// the model's first graph, whose payload `body(graph, sink)` writes. The rewrites that replace
// nodes in place go through here; a caller may append model fields to `out` afterwards.
template <class Body>
void gsRewriteFirstGraph(GsSlice model, std::vector<uint8_t>& out, Body&& body) {
  constexpr uint32_t kModelGraphField = 7;
  out.clear();
  GsSink s(&out);
  GsReader r(model);
  GsField f;
  bool graphDone = false;
  while (r.next(f)) {
    if (f.no != kModelGraphField || f.wt != kWireBytes || graphDone) {
      s.raw(f.raw);
      continue;
    }
    graphDone = true;
    const GsSlice graph = f.payload;
    s.message(kModelGraphField, [&](GsSink& gs) { body(graph, gs); });
  }
}

// What gsRebuild drops from and adds to a model's graph.
struct GsGraphEdit {
  std::vector<uint8_t> dropNodes;  // indexed by node position; non-zero drops it (empty: none)
  bool dropPRgb = false;           // drop the graph input "P_rgb"
  bool keepOnlyPRgb = false;       // keep only "P_rgb" (with dropPRgb as well: no input at all)
  bool dropOutputs = false;        // drop every graph output
  std::string addName;             // tensor whose value_info is replaced by a new value info
  std::vector<int64_t> addDims;    // its dimensions (the rank is their count)
  uint32_t addFieldNo = 0;         // graph field for the new value info: 11, 12 or 0 (add nothing)
};

// Writes `model` with `edit` applied to its graph into `out` (cleared first). Every field not
// dropped is copied byte for byte; an empty edit reproduces the model exactly.
void gsRebuild(GsSlice model, const GsGraphEdit& edit, std::vector<uint8_t>& out);

}  // namespace ka
