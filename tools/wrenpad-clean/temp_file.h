// A private temporary file that is removed when it goes out of scope.
#pragma once

#include <string>

namespace wrenpad_clean {

class TempFile {
 public:
  explicit TempFile(const std::string& stem);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string error_;
};

}  // namespace wrenpad_clean
