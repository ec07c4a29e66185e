#pragma once

#include <cstddef>
#include <utility>

#include <nanobind/ndarray.h>

#include "engine/bindings.hpp"

namespace norvel::engine {

template <class T>
using NewArray = nb::ndarray<nb::numpy, T, nb::ndim<1>>;

// A new array of `count` values owned by numpy, and where to write them
// (which needs no interpreter lock).
template <class T>
std::pair<T*, NewArray<T>> new_array(std::size_t count) {
  T* values = new T[count == 0 ? 1 : count];
  nb::capsule owner(values, [](void* held) noexcept { delete[] static_cast<T*>(held); });
  return {values, NewArray<T>(values, {count}, owner)};
}

}  // namespace norvel::engine
