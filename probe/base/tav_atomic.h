// Atomic access to a field of a plain record that other threads or
// processes share, such as the record ring's header and slots: the record
// keeps its exact layout, each access says its ordering.
#pragma once

#include <atomic>

namespace tav {

template <typename T>
std::atomic_ref<T> atomic_in(T& field) {
  return std::atomic_ref<T>(field);
}

}  // namespace tav
