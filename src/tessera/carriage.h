// The tessera carriage: which of a bundle's four teeth-borrow members are present, under which
// file names, and the arming rule (all four present, or the borrow is refused).
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace ka {

struct Manifest;

// The four member slots, in their fixed order.
enum class TesseraSlots { BankTrack = 0, BankSidecar = 1, HeadWeights = 2, HeadConfig = 3 };

int tesseraSlotCount();
// "bank_track", "bank_sidecar", "head_weights", "head_config".
const std::vector<std::string>& tesseraSlotKeys();

struct TesseraCarriage {
  // Member file names, slot order; a fresh carriage holds the default names.
  std::array<std::string, 4> names = {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
                                      "tessera_head.v1.json"};
  std::array<std::string, 4> paths;  // resolved member paths, slot order
  bool complete = false;
  std::vector<std::string> missing;  // slot keys whose file is absent, slot order
  bool declared = false;             // the manifest carries a `tessera` object
  std::vector<std::string> planes;   // strings of manifest.tessera.planes

  // The resolved path of `slotKey`; "teeth: no such member slot '<key>'" otherwise.
  const std::string& path(const std::string& slotKey) const;
};

// Thrown when the carriage is incomplete; keeps the missing slot keys.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& what, std::vector<std::string> missing)
      : std::runtime_error(what), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// Never throws for missing members. A member name from the manifest that could leave the bundle
// directory (absolute, "..", backslash-led, NUL, or naming a directory) is refused with a throw.
TesseraCarriage tesseraCarriage(const std::string& bundlePath);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when the carriage is complete, else throws MissingTesseraMember.
void requireTesseraMembers(const TesseraCarriage& carriage);

}  // namespace ka
