// Keeps the host's errno across the library's own work: the host sees the
// errno of its real call, never one of the library's calls.
#pragma once

#include <cerrno>

namespace tav {

class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;
  // The value restored at the end of the scope, when it is not the entry one.
  void set(int e) { saved_ = e; }

 private:
  int saved_;
};

}  // namespace tav
