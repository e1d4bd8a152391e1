#include "tessera/carriage.h"

#include "bundle/container.h"
#include "bundle/manifest.h"
#include "base/regular_file.h"
#include "bundle/members.h"
#include "face/json.h"

namespace ka {

int tesseraSlotCount() { return 4; }

const std::vector<std::string>& tesseraSlotKeys() {
  static const std::vector<std::string> keys = {"bank_track", "bank_sidecar", "head_weights", "head_config"};
  return keys;
}

const std::string& TesseraCarriage::path(const std::string& slotKey) const {
  const auto& keys = tesseraSlotKeys();
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == slotKey) return paths[i];
  throw std::runtime_error("teeth: no such member slot '" + slotKey + "'");
}

TesseraCarriage tesseraCarriage(const std::string& bundlePath) {
  using tessera::json::JVal;
  TesseraCarriage c;
  const std::string dir = resolveBundlePath(bundlePath);
  const auto& keys = tesseraSlotKeys();

  JVal manifest;
  const std::string mpath = tessera::manifestPath(dir);
  bool parsed = false;
  if (!mpath.empty()) {
    try {
      manifest = tessera::json::parseText(tessera::slurp(mpath));
      parsed = true;
    } catch (const std::exception&) {
      // An unreadable manifest declares nothing; the members are looked up by default names.
    }
  }
  if (parsed) {
    if (const JVal* t = manifest.getObject("tessera")) {
      c.declared = true;
      if (const JVal* members = t->getObject("members")) {
        for (int i = 0; i < 4; ++i) {
          const std::string name = tessera::json::optStr(*members, keys[i], "");
          if (name.empty()) continue;
          if (unsafeMemberName(name))
            throw std::runtime_error("teeth: " + mpath + " names member '" + keys[i] + "' as unsafe member name '" +
                                     name + "' — a member must stay inside the bundle directory");
          c.names[i] = name;
        }
      }
      if (const JVal* planes = t->getArray("planes"))
        for (const JVal& p : planes->arr)
          if (p.isString()) c.planes.push_back(p.str);
    }
  }
  for (int i = 0; i < 4; ++i) {
    c.paths[i] = resolveMember(dir, c.names[i]);
    if (!canOpenForReading(c.paths[i])) c.missing.push_back(keys[i]);
  }
  c.complete = c.missing.empty();
  return c;
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) { return tesseraCarriage(manifest.dir); }

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  const auto& keys = tesseraSlotKeys();
  std::string list;
  for (const std::string& key : c.missing) {
    size_t i = 0;
    while (i < keys.size() && keys[i] != key) ++i;
    if (!list.empty()) list += ", ";
    list += key + " (" + (i < keys.size() ? c.names[i] : std::string()) + ")";
  }
  std::string text = "missing teeth member(s): " + list + " — carries " +
                     std::to_string(4 - static_cast<int>(c.missing.size())) + " of 4";
  if (c.declared) text += " and declares a manifest.tessera block the members do not keep";
  text +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every "
      "plane; any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient — there "
      "is no rendering mode that proceeds without them (nimbrel-2 IS borrowed teeth). Re-stage the "
      "bundle with the bank builder.";
  throw MissingTesseraMember(text, c.missing);
}

}  // namespace ka
