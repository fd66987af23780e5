// Files the tests write and read back: a temporary directory of a test's own
// and the whole content of a file.
#pragma once

#include <filesystem>
#include <string>

namespace fwu::test {

// A new directory under the system's temporary directory, named `prefix`
// (UTF-8) followed by a number unique in this process; removed with all it
// holds at the end.
class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix = "fwu_test_");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // `name` inside the directory, as a UTF-8 string.
    std::string Utf8(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

// The path of a UTF-8 string, on every platform.
std::filesystem::path Utf8Path(const std::string& utf8);

// The bytes of the file at `utf8Path`; empty when it cannot be read.
std::string ReadFileText(const std::string& utf8Path);

}  // namespace fwu::test
