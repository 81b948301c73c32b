// Where the JSON lines go: standard output or a file opened for appending.
// Each batch is written whole and at once, so a reader that tails the
// output sees a batch's records as soon as the batch has arrived.
#pragma once

#include <csignal>
#include <string>

namespace tavmaster {

class Output {
 public:
  // path empty: standard output. Returns false (with errno) when the file
  // cannot be opened.
  bool open(const std::string& path);
  ~Output();

  // Writes all bytes. A write that blocks (a full pipe) is given up when the
  // stop flag is set, since stop signals interrupt it. Returns false when the
  // output failed for good (a closed pipe, a full disk) or a stop cut it short.
  bool write(const std::string& bytes, const volatile sig_atomic_t& stop);

 private:
  int fd_ = 1;
  bool own_ = false;
};

}  // namespace tavmaster
