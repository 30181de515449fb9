#include "temp_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace wrenpad_clean {

TempFile::TempFile(const std::string& stem) {
  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error_ = std::string("cannot create a temporary file: ") + std::strerror(errno);
    return;
  }
  close(fd);
  path_ = name.data();
}

TempFile::~TempFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace wrenpad_clean
