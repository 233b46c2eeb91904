// The one owner of a C library's object: a move-only pointer that hands the object to the
// library's own release function exactly once, when the owner goes.
//
//   CHandle<EVP_PKEY, EVP_PKEY_free> key(EVP_PKEY_new());
#pragma once

#include <memory>

namespace ktarn {

template <auto Release>
struct ReleaseWith {
  template <class T>
  void operator()(T* object) const {
    Release(object);
  }
};

template <class T, auto Release>
using CHandle = std::unique_ptr<T, ReleaseWith<Release>>;

}  // namespace ktarn
