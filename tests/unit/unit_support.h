// Helpers shared by the unit tests of the base utilities.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace unit {

// A private directory under TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qel-unit-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  // Writes `content` byte for byte into a file of the directory; returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    return file;
  }

 private:
  std::string path_;
};

}  // namespace unit
