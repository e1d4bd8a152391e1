#include "graph/lip_contour_bind.h"

#include <deque>
#include <map>
#include <set>

#include "graph/onnx_wire.h"

namespace ka {

const char* const kLipDeliveryInput = "lip_delivery";
const char* const kLipDeliveryMinNode = "tessera_lipdel_min";
const char* const kLipDeliveryAlpha = "tessera_lipdel_alpha";

namespace {

constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4;
constexpr uint32_t kTensorName = 8;
constexpr int kMaxPassThrough = 4;

struct Node {
  std::string name, op;
  std::vector<std::string> in, out;
  GsSlice payload;
};

// The parts of one graph the binding looks at.
struct Graph {
  std::vector<Node> nodes;
  std::map<std::string, int> producer;   // tensor -> node position (first producer)
  std::map<std::string, GsSlice> inits;  // initializer name -> tensor
  std::vector<std::string> inputs, outputs;

  explicit Graph(GsSlice g) {
    GsReader r(g);
    GsField f;
    while (r.next(f)) {
      if (f.wt != kWireBytes) continue;
      if (f.no == kGraphNode) {
        Node n;
        n.payload = f.payload;
        n.name = gsFirstStr(f.payload, kNodeName);
        n.op = gsFirstStr(f.payload, kNodeOpType);
        gsAllStr(f.payload, kNodeInput, n.in);
        gsAllStr(f.payload, kNodeOutput, n.out);
        for (const std::string& o : n.out) producer.emplace(o, static_cast<int>(nodes.size()));
        nodes.push_back(std::move(n));
      } else if (f.no == kGraphInit) {
        inits.emplace(gsFirstStr(f.payload, kTensorName), f.payload);
      } else if (f.no == kGraphInput) {
        inputs.push_back(gsFirstStr(f.payload, 1));
      } else if (f.no == kGraphOutput) {
        outputs.push_back(gsFirstStr(f.payload, 1));
      }
    }
  }
  int prod(const std::string& t) const {
    auto it = producer.find(t);
    return it == producer.end() ? -1 : it->second;
  }
  bool isOp(int k, const char* op) const { return k >= 0 && nodes[k].op == op; }
  bool isOne(const std::string& t) const {
    std::vector<float> v;
    if (auto it = inits.find(t); it != inits.end())
      return hcTensorFloats(it->second, v) && v.size() == 1 && v[0] == 1.0f;
    const int k = prod(t);
    return isOp(k, "Constant") && hcTensorFloats(hcConstValue(nodes[k].payload), v) && v.size() == 1 && v[0] == 1.0f;
  }
};

// The compose tail found at an Add: its Sub and alpha Mul positions and the alpha.
struct Tail {
  int sub = -1, mulA = -1;
  std::string alpha;
};

// 1 when node k is the tail, 0 when not, -1 when it is except that the alpha has no producer.
int matchTail(const Graph& g, int k, Tail& t) {
  const Node& add = g.nodes[k];
  if (add.op != "Add" || add.in.size() != 2) return 0;
  const int m[2] = {g.prod(add.in[0]), g.prod(add.in[1])};
  if (!g.isOp(m[0], "Mul") || !g.isOp(m[1], "Mul") || m[0] == m[1]) return 0;
  for (int o = 0; o < 2; ++o) {
    const Node& inv = g.nodes[m[o]];
    const Node& dir = g.nodes[m[1 - o]];
    if (inv.in.size() != 2 || dir.in.size() != 2) continue;
    for (const std::string& x : inv.in) {
      const int s = g.prod(x);
      if (!g.isOp(s, "Sub") || g.nodes[s].in.size() != 2 || !g.isOne(g.nodes[s].in[0])) continue;
      const std::string& a = g.nodes[s].in[1];
      if (dir.in[0] != a && dir.in[1] != a) continue;
      t.sub = s, t.mulA = m[1 - o], t.alpha = a;
      const int p = g.prod(a);
      if (p < 0) return -1;
      if (g.nodes[p].op == "Clip") return 1;
    }
  }
  return 0;
}

int fail(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
  return 0;
}

std::string nodeLabel(const Node& n, size_t k) { return n.name.empty() ? "#" + std::to_string(k) : n.name; }

// The checks on the rebuilt graph; empty when it passes.
std::string selfCheck(GsSlice graph, int sub, int mulA, const std::string& alpha) {
  const Graph g(graph);
  bool input = false, minNode = false;
  for (const std::string& i : g.inputs) input = input || i == kLipDeliveryInput;
  if (!input) return "self-check: the input did not survive the rebuild";
  for (const Node& n : g.nodes) minNode = minNode || n.name == kLipDeliveryMinNode;
  if (!minNode) return "self-check: the Min node did not survive the rebuild";
  size_t readers = 0;
  for (const Node& n : g.nodes)
    for (const std::string& i : n.in) readers += i == kLipDeliveryAlpha;
  bool still = false;
  for (int k : {sub, mulA})
    for (const std::string& i : g.nodes[static_cast<size_t>(k)].in) still = still || i == alpha;
  if (readers != 2 || still)
    return "self-check: rewire did not take: " + std::to_string(readers) + " consumers of " + kLipDeliveryAlpha +
           (still ? ", one still reads the alpha" : "") +
           " \xE2\x80\x94 refusing a graph that would serve the ellipse with the input attached and ignored";
  std::set<std::string> known(g.inputs.begin(), g.inputs.end());
  for (const auto& kv : g.inits) known.insert(kv.first);
  for (size_t k = 0; k < g.nodes.size(); ++k) {
    for (const std::string& i : g.nodes[k].in) {
      if (i.empty() || known.count(i)) continue;
      const int p = g.prod(i);
      if (p >= static_cast<int>(k))
        return "self-check: node " + nodeLabel(g.nodes[k], k) + " reads '" + i + "' produced at " + std::to_string(p) +
               " \xE2\x80\x94 the rewritten graph is not topologically ordered";
    }
    for (const std::string& o : g.nodes[k].out) known.insert(o);
  }
  return std::string();
}

}  // namespace

int rewriteBindLipContour(std::vector<uint8_t>& model, std::string* reason, int* canvas) {
  const GsSlice in(model);
  const GsSlice graphBytes = gsGraphOf(in);
  if (graphBytes.empty()) return fail(reason, "no graph");
  const Graph g(graphBytes);
  for (const std::string& i : g.inputs)
    if (i == kLipDeliveryInput)
      return fail(reason, std::string("the graph already carries an input named ") + kLipDeliveryInput);

  // From the first output's producer, back through a few pass-through nodes, then breadth first.
  int start = g.outputs.empty() ? -1 : g.prod(g.outputs[0]);
  for (int s = 0; s < kMaxPassThrough && (g.isOp(start, "Identity") || g.isOp(start, "Cast")); ++s)
    start = g.nodes[start].in.empty() ? -1 : g.prod(g.nodes[start].in[0]);
  Tail tail;
  int found = 0;
  std::deque<int> queue;
  std::vector<char> seen(g.nodes.size(), 0);
  if (start >= 0) queue.push_back(start), seen[start] = 1;
  while (!queue.empty() && found == 0) {
    const int k = queue.front();
    queue.pop_front();
    found = matchTail(g, k, tail);
    if (found) break;
    for (const std::string& i : g.nodes[k].in) {
      const int p = g.prod(i);
      if (p >= 0 && !seen[p]) seen[p] = 1, queue.push_back(p);
    }
  }
  if (found == 0) return fail(reason, "the graph does not carry the unified compose tail");
  if (found < 0) return fail(reason, "the compose alpha '" + tail.alpha + "' has no producer node");
  const int clip = g.prod(tail.alpha);

  int64_t E = 0;
  for (const std::string& i : g.nodes[clip].in) {
    auto it = g.inits.find(i);
    if (it == g.inits.end()) continue;
    std::vector<int64_t> d;
    hcTensorDims(it->second, d);
    if (d.size() >= 2 && d[d.size() - 1] > 0 && d[d.size() - 1] == d[d.size() - 2]) {
      E = d.back();
      break;
    }
  }
  if (E == 0) {
    std::vector<int64_t> d;
    if (ldInputDims(graphBytes, "P_rgb", d) && d.size() == 4 && d[2] > 0 && d[2] == d[3]) E = d[2];
  }
  if (E <= 0 || E > (int64_t{1} << 20)) return fail(reason, "cannot read the compose canvas off the graph");
  std::vector<int64_t> bd;
  int64_t B = 0;
  if ((ldInputDims(graphBytes, "pooled64", bd) || ldInputDims(graphBytes, "kp_driving", bd)) && !bd.empty()) B = bd[0];

  std::vector<uint8_t> minNode;
  hcNode(minNode, "Min", {tail.alpha, kLipDeliveryInput}, kLipDeliveryAlpha, kLipDeliveryMinNode, {});
  std::vector<uint8_t> inputVi;
  const int64_t dims[4] = {B, 1, E, E};
  gsPutTensorValueInfo(inputVi, kGraphInput, kLipDeliveryInput, dims, 4);

  std::vector<uint8_t> out;
  out.reserve(model.size() + 256);
  gsRewriteFirstGraph(in, out, [&](GsSlice graph, GsSink& gs) {
    GsReader gr(graph);
    GsField gf;
    int k = -1;
    while (gr.next(gf)) {
      if (gf.no != kGraphNode || gf.wt != kWireBytes) {
        gs.raw(gf.raw);
        continue;
      }
      ++k;
      if (k != tail.sub && k != tail.mulA) {
        gs.raw(gf.raw);
      } else {
        gs.message(kGraphNode, [&](GsSink& ns) {
          GsReader nr(gf.payload);
          GsField nf;
          while (nr.next(nf)) {
            if (nf.no == kNodeInput && nf.wt == kWireBytes && nf.payload.str() == tail.alpha)
              ns.bytes(kNodeInput, std::string(kLipDeliveryAlpha));
            else
              ns.raw(nf.raw);
          }
        });
      }
      if (k == clip) gs.raw(minNode);
    }
    gs.raw(inputVi);
  });

  // Positions in the rebuilt graph: one node more after the Clip.
  const int sub = tail.sub + (tail.sub > clip), mulA = tail.mulA + (tail.mulA > clip);
  const std::string bad = selfCheck(gsGraphOf(GsSlice(out)), sub, mulA, tail.alpha);
  if (!bad.empty()) return fail(reason, bad);
  model.swap(out);
  if (canvas) *canvas = static_cast<int>(E);
  return 1;
}

}  // namespace ka
