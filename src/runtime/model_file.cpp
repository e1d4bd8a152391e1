#include "runtime/model_file.h"

#include <stdexcept>

#include "base/regular_file.h"

namespace ka {

std::vector<uint8_t> readModelBytes(const std::string& path, const char* who) {
  RegularFile f(path);  // a FIFO under the model's name is refused, never waited on
  if (!f.ok()) throw std::runtime_error(std::string(who) + ": cannot open " + path);
  if (f.size() > kMaxModelBytes)
    throw std::runtime_error(std::string(who) + ": " + path + " is " + std::to_string(f.size()) +
                             " bytes, more than the 2 GiB one ONNX model can hold");
  std::vector<uint8_t> bytes(static_cast<size_t>(f.size()));
  if (!f.readExactly(bytes.data(), bytes.size()))
    throw std::runtime_error(std::string(who) + ": short read on " + path);
  return bytes;
}

}  // namespace ka
