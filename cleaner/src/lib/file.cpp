#include "file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wd {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

File::~File() { close(); }

void File::close() {
  // A close interrupted by a signal has still released the descriptor on Linux,
  // so it is never repeated.
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Result<File, OsError> File::open(const std::string& path, int flags, mode_t mode) {
  // Without O_NONBLOCK, opening a FIFO waits for its other end, which may never
  // come; with it, regular files and devices behave as before and a FIFO fails or
  // ends at once instead of hanging the caller's thread. Once open, reads and
  // writes wait again: a pipe whose other end is merely slow is no failure.
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return OsError{errno};
    }
    File file(fd);
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) < 0) return OsError{errno};
    return file;
  }
}

Result<size_t, OsError> File::read_some(uint8_t* data, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd_, data, size);
    if (got >= 0) return static_cast<size_t>(got);
    if (errno != EINTR) return OsError{errno};
  }
}

Result<size_t, OsError> File::write_some(const uint8_t* data, size_t size) {
  for (;;) {
    const ssize_t put = ::write(fd_, data, size);
    if (put >= 0) return static_cast<size_t>(put);
    if (errno != EINTR) return OsError{errno};
  }
}

Result<std::vector<uint8_t>, OsError> read_whole_file(const std::string& path) {
  WD_TRY(File file, File::open(path, O_RDONLY));
  constexpr size_t kChunk = 65536;
  std::vector<uint8_t> bytes;
  // The size is only a hint: the file is read until its end whatever it says.
  struct stat info {};
  if (::fstat(file.descriptor(), &info) == 0 && info.st_size > 0) {
    bytes.reserve(static_cast<size_t>(info.st_size) + kChunk);
  }
  for (;;) {
    const size_t used = bytes.size();
    bytes.resize(used + kChunk);
    auto got = file.read_some(bytes.data() + used, kChunk);
    if (!got) return got.error();
    bytes.resize(used + *got);
    if (*got == 0) return bytes;
  }
}

}  // namespace wd
