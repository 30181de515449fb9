// An owned file descriptor and the few system calls the library makes on it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "result.h"

namespace wd {

// A failed system call: its error number.
struct OsError {
  int number;
};

class File {
 public:
  File() = default;
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  static Result<File, OsError> open(const std::string& path, int flags, mode_t mode = 0);

  bool is_open() const { return fd_ >= 0; }
  int descriptor() const { return fd_; }

  // One read or write; interrupted calls are repeated. 0 means end of file, or a
  // write that accepted nothing.
  Result<size_t, OsError> read_some(uint8_t* data, size_t size);
  Result<size_t, OsError> write_some(const uint8_t* data, size_t size);

 private:
  explicit File(int fd) : fd_(fd) {}
  void close();

  int fd_ = -1;
};

// The whole content of a file, read until its end.
Result<std::vector<uint8_t>, OsError> read_whole_file(const std::string& path);

}  // namespace wd
