// The shared library as its callers use it: loaded by file name at run time, its
// two functions looked up by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "cleaner.h"
#include "lib_test_files.h"

namespace {

using wd::testing::TempDir;

class Library {
 public:
  Library() : handle_(dlopen(WD_CLEANER_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
  ~Library() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  void* symbol(const char* name) const { return dlsym(handle_, name); }

 private:
  void* handle_;
};

TEST(CleanerLibrary, CleansThroughFunctionsLookedUpByName) {
  Library library;
  ASSERT_TRUE(library.loaded()) << dlerror();
  auto abi = reinterpret_cast<int (*)()>(library.symbol("wd_abi"));
  auto clean = reinterpret_cast<decltype(&wd_clean)>(library.symbol("wd_clean"));
  ASSERT_NE(abi, nullptr);
  ASSERT_NE(clean, nullptr);
  EXPECT_EQ(abi(), 1);

  TempDir dir;
  const std::vector<int16_t> x = wd::testing::test_signal(3000);
  wd::testing::write_pcm(dir.file("in.raw"), x);
  int32_t progress = 0;
  const int32_t cancel = 0;
  char message[64] = "unchanged";
  EXPECT_EQ(clean(wd::testing::fixture("delay").c_str(), dir.file("in.raw").c_str(),
                  dir.file("out.raw").c_str(), &progress, &cancel, message, sizeof message),
            0);
  EXPECT_STREQ(message, "unchanged");
  EXPECT_EQ(progress, 10000);
  EXPECT_EQ(wd::testing::read_pcm(dir.file("out.raw")).size(), x.size());
}

}  // namespace
