#include "tessera/head_weights.h"

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include "face/json.h"

namespace ka::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// ---- archive -----------------------------------------------------------------------------------

struct Entry {
  uint64_t begin = 0, size = 0;
};

std::map<std::string, Entry> readZip(const std::vector<uint8_t>& b) {
  const uint64_t n = b.size();
  if (n < 22 || b[0] != 'P' || b[1] != 'K') refuse("teeth: head .pt is not a zip");
  // The end record sits in the last 22 bytes plus at most a 65,535-byte comment.
  uint64_t eocd = UINT64_MAX;
  const uint64_t lowest = n - 22 > 65535 ? n - 22 - 65535 : 0;
  for (uint64_t p = n - 22 + 1; p-- > lowest;)
    if (le32(&b[p]) == 0x06054b50u) {
      eocd = p;
      break;
    }
  if (eocd == UINT64_MAX) refuse("teeth: head .pt has no zip EOCD");
  const uint64_t count = le16(&b[eocd + 10]);
  const uint64_t cdSize = le32(&b[eocd + 12]);
  const uint64_t cdOff = le32(&b[eocd + 16]);
  if (cdOff > eocd || cdSize > eocd - cdOff) refuse("teeth: head .pt central directory is malformed");
  const uint64_t cdEnd = cdOff + cdSize;

  std::map<std::string, Entry> entries;
  uint64_t p = cdOff;
  for (uint64_t i = 0; i < count; ++i) {
    if (cdEnd - p < 46 || le32(&b[p]) != 0x02014b50u) refuse("teeth: head .pt central directory is malformed");
    const uint16_t method = le16(&b[p + 10]);
    const uint64_t csize = le32(&b[p + 20]);
    const uint64_t nameLen = le16(&b[p + 28]);
    const uint64_t rest = nameLen + le16(&b[p + 30]) + le16(&b[p + 32]);
    const uint64_t local = le32(&b[p + 42]);
    if (cdEnd - p - 46 < rest) refuse("teeth: head .pt central directory is malformed");
    std::string name(reinterpret_cast<const char*>(&b[p + 46]), static_cast<size_t>(nameLen));
    p += 46 + rest;
    if (method != 0)
      refuse(
          "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
          "compressed member");
    if (local > n || n - local < 30 || le32(&b[local]) != 0x04034b50u)
      refuse("teeth: head .pt local header out of range");
    const uint64_t data = local + 30 + le16(&b[local + 26]) + le16(&b[local + 28]);
    if (data > n || n - data < csize) refuse("teeth: head .pt entry out of range");
    entries.emplace(std::move(name), Entry{data, csize});
  }
  return entries;
}

// ---- pickle ------------------------------------------------------------------------------------

// Deepest nesting of containers a state dictionary may use, and the most values one may build (a
// state dictionary of ten tensors builds about two hundred).
constexpr int kMaxPickleDepth = 64;
constexpr size_t kMaxPickleValues = size_t{1} << 20;

struct PVal;
using PRef = std::shared_ptr<PVal>;

struct PVal {
  enum Kind { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor };
  Kind kind = None;
  int depth = 1;
  int64_t i = 0;                            // Bool, Int; Storage: element count; Tensor: element offset
  std::string s;                            // Str; Global "module name"; Storage and Tensor: storage key
  std::string stype;                        // Storage: its type global
  std::vector<PRef> items;                  // Tuple
  std::vector<std::pair<PRef, PRef>> dict;  // Dict
  std::vector<int64_t> sizes, strides;      // Tensor
};

PRef make(PVal::Kind k) {
  auto v = std::make_shared<PVal>();
  v->kind = k;
  return v;
}

class Unpickler {
 public:
  explicit Unpickler(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  PRef run();

 private:
  const uint8_t* take(size_t k) {
    if (n_ - i_ < k) refuse("teeth: pickle truncated");
    const uint8_t* at = p_ + i_;
    i_ += k;
    return at;
  }
  std::string line() {
    const void* nl = i_ < n_ ? std::memchr(p_ + i_, '\n', n_ - i_) : nullptr;
    if (!nl) refuse("teeth: pickle truncated");
    size_t len = static_cast<const uint8_t*>(nl) - (p_ + i_);
    std::string s(reinterpret_cast<const char*>(p_ + i_), len);
    i_ += len + 1;
    return s;
  }
  void need(size_t k, const char* op) {
    if (stack_.size() < k || (!marks_.empty() && stack_.size() - marks_.back() < k))
      refuse(std::string("teeth: pickle ") + op + " on a stack too short");
  }
  PRef pop() {
    PRef v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  std::vector<PRef> popMark(const char* op) {
    if (marks_.empty()) refuse(std::string("teeth: pickle ") + op + " without a MARK");
    size_t m = marks_.back();
    marks_.pop_back();
    std::vector<PRef> out(std::make_move_iterator(stack_.begin() + m), std::make_move_iterator(stack_.end()));
    stack_.resize(m);
    return out;
  }
  void push(PRef v) {
    if (++pushes_ > kMaxPickleValues)
      refuse("teeth: pickle builds more than " + std::to_string(kMaxPickleValues) + " values");
    if (v->depth > kMaxPickleDepth)
      refuse("teeth: pickle nests deeper than " + std::to_string(kMaxPickleDepth) + " levels");
    stack_.push_back(std::move(v));
  }
  PRef tuple(std::vector<PRef> items) {
    PRef t = make(PVal::Tuple);
    for (const PRef& it : items) t->depth = std::max(t->depth, it->depth + 1);
    t->items = std::move(items);
    return t;
  }
  // Stores pairs into the dict `d`, copying it first when something else still refers to it.
  PRef setItems(PRef d, std::vector<PRef>& kv, const char* op) {
    if (d->kind != PVal::Dict) refuse(std::string("teeth: pickle ") + op + " on a non-dict");
    if (kv.size() % 2) refuse(std::string("teeth: pickle ") + op + " with an odd item count");
    if (d.use_count() > 1) d = std::make_shared<PVal>(*d);
    for (size_t k = 0; k < kv.size(); k += 2) {
      d->depth = std::max(d->depth, std::max(kv[k]->depth, kv[k + 1]->depth) + 1);
      d->dict.emplace_back(kv[k], kv[k + 1]);
    }
    return d;
  }
  PRef persistent(const PRef& pid);
  PRef reduce(const PRef& fn, const PRef& args);

  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
  std::vector<PRef> stack_;
  std::vector<size_t> marks_;  // stack sizes at each MARK
  std::unordered_map<uint32_t, PRef> memo_;
  size_t pushes_ = 0;
};

PRef Unpickler::persistent(const PRef& pid) {
  const auto& it = pid->items;
  if (pid->kind != PVal::Tuple || it.size() != 5 || it[0]->kind != PVal::Str || it[0]->s != "storage" ||
      it[1]->kind != PVal::Global || it[2]->kind != PVal::Str || it[4]->kind != PVal::Int)
    refuse("teeth: unexpected persistent id in head .pt");
  if (it[1]->s != "torch FloatStorage")
    refuse("teeth: head .pt storage is " + it[1]->s + ", not torch FloatStorage — refusing to reinterpret it");
  PRef s = make(PVal::Storage);
  s->s = it[2]->s;
  s->i = it[4]->i;
  return s;
}

PRef Unpickler::reduce(const PRef& fn, const PRef& args) {
  if (fn->kind != PVal::Global) refuse("teeth: head .pt calls a value that is not a global");
  if (fn->s == "collections OrderedDict") return make(PVal::Dict);
  if (fn->s != "torch._utils _rebuild_tensor_v2")
    refuse("teeth: head .pt calls " + fn->s + " — this reader refuses code it does not model");
  const auto& a = args->items;
  auto intTuple = [](const PRef& t, std::vector<int64_t>& out) {
    if (t->kind != PVal::Tuple) return false;
    for (const PRef& e : t->items) {
      if (e->kind != PVal::Int) return false;
      out.push_back(e->i);
    }
    return true;
  };
  PRef t = make(PVal::Tensor);
  if (args->kind != PVal::Tuple || a.size() < 4 || a[0]->kind != PVal::Storage || a[1]->kind != PVal::Int ||
      !intTuple(a[2], t->sizes) || !intTuple(a[3], t->strides))
    refuse("teeth: malformed _rebuild_tensor_v2");
  t->s = a[0]->s;
  t->i = a[1]->i;
  return t;
}

PRef Unpickler::run() {
  for (;;) {
    const uint8_t op = *take(1);
    switch (op) {
      case 0x80:
        take(1);
        break;
      case '(':
        marks_.push_back(stack_.size());
        break;
      case ')':
        push(make(PVal::Tuple));
        break;
      case '}':
        push(make(PVal::Dict));
        break;
      case 'N':
        push(make(PVal::None));
        break;
      case 0x88:
      case 0x89: {
        PRef v = make(PVal::Bool);
        v->i = op == 0x88;
        push(v);
        break;
      }
      case 'K':
      case 'M':
      case 'J': {
        PRef v = make(PVal::Int);
        if (op == 'K')
          v->i = *take(1);
        else if (op == 'M')
          v->i = le16(take(2));
        else
          v->i = static_cast<int32_t>(le32(take(4)));
        push(v);
        break;
      }
      case 'X': {
        const uint32_t len = le32(take(4));
        const uint8_t* at = take(len);  // checked against the data before anything is allocated
        PRef v = make(PVal::Str);
        v->s.assign(reinterpret_cast<const char*>(at), len);
        push(v);
        break;
      }
      case 'c': {
        PRef v = make(PVal::Global);
        std::string module = line();
        v->s = module + " " + line();
        push(v);
        break;
      }
      case 'q':
      case 'r': {
        const uint32_t idx = op == 'q' ? *take(1) : le32(take(4));
        need(1, op == 'q' ? "BINPUT" : "LONG_BINPUT");
        memo_[idx] = stack_.back();
        break;
      }
      case 'h':
      case 'j': {
        const uint32_t idx = op == 'h' ? *take(1) : le32(take(4));
        auto it = memo_.find(idx);
        if (it == memo_.end())
          refuse(op == 'h' ? "teeth: pickle BINGET out of range" : "teeth: pickle LONG_BINGET out of range");
        push(it->second);
        break;
      }
      case 't':
        push(tuple(popMark("TUPLE")));
        break;
      case 0x85:
      case 0x86:
      case 0x87: {
        const size_t k = op - 0x84u;
        need(k, "TUPLE1/2/3");
        std::vector<PRef> items(std::make_move_iterator(stack_.end() - k), std::make_move_iterator(stack_.end()));
        stack_.resize(stack_.size() - k);
        push(tuple(std::move(items)));
        break;
      }
      case 's': {
        need(3, "SETITEM");
        std::vector<PRef> kv(2);
        kv[1] = pop();
        kv[0] = pop();
        PRef d = pop();
        push(setItems(std::move(d), kv, "SETITEM"));
        break;
      }
      case 'u': {
        std::vector<PRef> kv = popMark("SETITEMS");
        need(1, "SETITEMS");
        PRef d = pop();
        push(setItems(std::move(d), kv, "SETITEMS"));
        break;
      }
      case 'Q': {
        need(1, "BINPERSID");
        PRef pid = pop();
        push(persistent(pid));
        break;
      }
      case 'R': {
        need(2, "REDUCE");
        PRef args = pop();
        PRef fn = pop();
        push(reduce(fn, args));
        break;
      }
      case 'b': {
        need(2, "BUILD");
        pop();  // the state argument is not modelled; the object stays as it is
        break;
      }
      case '.': {
        need(1, "STOP");
        return pop();
      }
      default: {
        static const char hex[] = "0123456789abcdef";
        refuse(std::string("teeth: unsupported pickle opcode 0x") + hex[op >> 4] + hex[op & 15] + " in head .pt");
      }
    }
  }
}

// ---- the state dictionary ----------------------------------------------------------------------

struct Param {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

const std::vector<Param>& params() {
  static const std::vector<Param> p = {
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_w},  {"cand.0.bias", {16}, &HeadWeights::cand0_b},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_w}, {"cand.2.bias", {16}, &HeadWeights::cand2_b},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_w},  {"cand.4.bias", {1}, &HeadWeights::cand4_b},
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_w},    {"syn.0.bias", {16}, &HeadWeights::syn0_b},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_w},    {"syn.2.bias", {1}, &HeadWeights::syn2_b},
  };
  return p;
}

std::string dims(const std::vector<int64_t>& v) {
  std::string s = "[";
  for (size_t k = 0; k < v.size(); ++k) s += (k ? "," : "") + std::to_string(v[k]);
  return s + "]";
}

}  // namespace

int HeadWeights::params() const {
  size_t n = 0;
  for (const auto& p : tessera::params()) n += (this->*p.field).size();
  return static_cast<int>(n);
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  const std::map<std::string, Entry> entries = readZip(bytes);
  const std::string suffix = "/data.pkl";
  const Entry* pkl = nullptr;
  std::string folder;
  for (const auto& e : entries)
    if (e.first.size() >= suffix.size() &&
        e.first.compare(e.first.size() - suffix.size(), suffix.size(), suffix) == 0) {
      pkl = &e.second;
      folder = e.first.substr(0, e.first.size() - suffix.size());
      break;
    }
  if (!pkl) refuse("teeth: head .pt has no data.pkl");

  const PRef root = Unpickler(bytes.data() + pkl->begin, static_cast<size_t>(pkl->size)).run();
  if (root->kind != PVal::Dict || root->dict.empty()) refuse("teeth: head .pt state_dict is empty");

  auto named = [&](const std::string& name) {
    std::vector<const PVal*> hits;
    for (const auto& kv : root->dict)
      if (kv.first->kind == PVal::Str && kv.first->s == name) hits.push_back(kv.second.get());
    return hits;
  };
  const bool withSyn = !named("syn.0.weight").empty();

  HeadWeights w;
  for (const Param& p : tessera::params()) {
    const std::string name = p.name;
    if (!withSyn && name.compare(0, 4, "syn.") == 0) continue;
    const std::vector<const PVal*> hits = named(name);
    if (hits.empty()) refuse("teeth: head .pt lacks '" + name + "'");
    if (hits.size() > 1)
      refuse("teeth: head .pt names '" + name + "' " + std::to_string(hits.size()) + " times — ambiguous");
    const PVal& t = *hits[0];
    if (t.kind != PVal::Tensor) refuse("teeth: '" + name + "' is not a tensor");
    if (t.sizes != p.shape)
      refuse("teeth: head '" + name + "' has shape " + dims(t.sizes) + " — not the BlendHead(16) arch");
    // Storage order is element order only for the contiguous layout of the shape.
    std::vector<int64_t> contiguous(p.shape.size());
    int64_t step = 1;
    for (size_t k = p.shape.size(); k-- > 0;) {
      contiguous[k] = step;
      step *= p.shape[k];
    }
    const int64_t count = step;
    if (t.strides != contiguous)
      refuse("teeth: head '" + name + "' has strides " + dims(t.strides) + ", not the contiguous " + dims(contiguous) +
             " of its shape — refusing to reorder it");
    auto it = entries.find(folder + "/data/" + t.s);
    if (it == entries.end()) refuse("teeth: head storage " + t.s + " missing");
    const uint64_t floats = it->second.size / 4;
    if (t.i < 0 || static_cast<uint64_t>(t.i) > floats ||
        floats - static_cast<uint64_t>(t.i) < static_cast<uint64_t>(count))
      refuse("teeth: head storage " + t.s + " too small");
    std::vector<float>& out = w.*p.field;
    out.resize(static_cast<size_t>(count));
    const uint8_t* src = bytes.data() + it->second.begin + static_cast<uint64_t>(t.i) * 4;
    for (int64_t k = 0; k < count; ++k) {
      const uint32_t u = le32(src + 4 * k);
      std::memcpy(&out[static_cast<size_t>(k)], &u, 4);
    }
  }
  const int n = w.params();
  if (n != 4082 && n != 3489)
    refuse("teeth: head has " + std::to_string(n) +
           " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal top = json::parseText(text);
  const json::JVal* retrieval = top.getObject("retrieval");
  const json::JVal* temporal = top.getObject("temporal");
  if (!retrieval || !temporal)
    refuse(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — "
        "refusing to serve defaults (W3-01)");
  ServeConfig c;
  auto count = [](const json::JVal& o, const char* key, int least) {
    const int v = json::truncInt(json::memberNum(o, key));
    if (v < least)
      refuse(std::string("teeth: tessera_head.v1 config gives ") + key + "=" + std::to_string(v) + ", below " +
             std::to_string(least) + " — not a usable count");
    return v;
  };
  c.kshort = count(*retrieval, "kshort", 1);
  c.aperture_tol = json::memberNum(*retrieval, "aperture_tol");
  c.cut = count(*retrieval, "cut", 1);
  c.K = count(*retrieval, "K", 1);
  c.hysteresis = count(*temporal, "hysteresis", 0);
  c.lookahead = count(*temporal, "lookahead", 0);
  if (const json::JVal* decode = top.getObject("decode")) {
    if (const json::JVal* env = decode->get("envelope_clamp_255")) {
      if (!env->isNumber() || !(std::fabs(env->num - 12.0) <= 1e-6))
        refuse(
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope "
            "is a gated quantity");
    }
  }
  return c;
}

}  // namespace ka::tessera
