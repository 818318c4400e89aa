// Arguments for the logger's printf-style formats: a string object is passed
// (PString, std::wstring) to "%ls" as its text, an array as its address,
// anything else as it is.
#pragma once

#include <string>
#include <type_traits>

#include "zevo/PString.h"

template <class T>
auto zevoLogArg(const T& iValue) {
  if constexpr (std::is_base_of<PLiteral, T>::value) {
    return static_cast<const wchar_t*>(iValue);
  } else if constexpr (std::is_same<T, std::wstring>::value) {
    return iValue.c_str();
  } else if constexpr (std::is_array<T>::value) {
    return static_cast<const std::remove_extent_t<T>*>(iValue);
  } else {
    return iValue;
  }
}
