// Reading files named by a bundle or a model directory. Such a file must be a regular file: it is
// opened without blocking (a FIFO planted under its name cannot hang the open) and anything else
// is refused with "<path>: not a regular file".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// True when `path` can be opened for reading (opened without blocking, then closed).
bool canOpenForReading(const std::string& path);

// True when `path` exists (its status can be queried).
bool pathExists(const std::string& path);

// An open regular file; closes on destruction.
class RegularFile {
 public:
  // Opens `path` read-only. When it cannot be opened (a directory included), ok() is false and
  // errno tells why; when it opens but is not a regular file, throws "<path>: not a regular file".
  explicit RegularFile(const std::string& path);
  ~RegularFile();
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  // Reads exactly n bytes at the current position; false on a short read or an error.
  bool readExactly(void* dst, size_t n);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Throws "<path>: not a regular file" unless `path` opens as a regular file, and "cannot open
// <path>" when it does not open at all. For files handed to a library that opens them itself
// (ONNX Runtime sessions created from a path).
void requireRegularFile(const std::string& path);

// The whole file, refused before any allocation when it is larger than maxBytes
// ("<path>: <size> bytes, more than <maxBytes>"); "cannot open <path>" and "short read <path>"
// otherwise.
std::vector<char> readRegularFile(const std::string& path, uint64_t maxBytes);

}  // namespace ka
