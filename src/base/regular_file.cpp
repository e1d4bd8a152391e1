#include "base/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace ka {

bool canOpenForReading(const std::string& path) {
  // Non-blocking, so that a FIFO planted under a member's name cannot hang the probe.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool pathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

RegularFile::RegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  if (known && S_ISDIR(st.st_mode)) {  // a directory does not open as a file
    ::close(fd);
    errno = EISDIR;
    return;
  }
  if (!known || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error(path + ": not a regular file");
  }
  // Reads of a regular file never block; clearing the flag keeps the descriptor ordinary.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RegularFile::readExactly(void* dst, size_t n) {
  char* p = static_cast<char*>(dst);
  while (n > 0) {
    ssize_t got = ::read(fd_, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void requireRegularFile(const std::string& path) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("cannot open " + path);
}

std::vector<char> readRegularFile(const std::string& path, uint64_t maxBytes) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("cannot open " + path);
  if (f.size() > maxBytes)
    throw std::runtime_error(path + ": " + std::to_string(f.size()) + " bytes, more than " + std::to_string(maxBytes));
  std::vector<char> bytes(static_cast<size_t>(f.size()));
  if (!f.readExactly(bytes.data(), bytes.size())) throw std::runtime_error("short read " + path);
  return bytes;
}

}  // namespace ka
