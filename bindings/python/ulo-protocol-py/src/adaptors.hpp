// The one way the interpreter enters the module's functions. A method,
// property, constructor or slot is a typed C++ function; its adaptor binds
// the call's arguments to the parameter names it was declared with, converts
// each by its parameter's type (Param in arguments.hpp), runs the function
// under the guard, and converts the result by its type (to_python; a failed
// Result raises its error, errors.hpp).
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "boundary.hpp"
#include "errors.hpp"
#include "types.hpp"

namespace ulo::py {

// A Python name given as a template argument.
template <std::size_t N>
struct Name {
  char text[N];
  consteval Name(const char (&s)[N]) { std::copy_n(s, N, text); }
};

namespace adapt {

// The parameter and result types of a function or const member function.
template <class F>
struct FnTraits;
template <class Ret, class... Args>
struct FnTraits<Ret (*)(Args...)> {
  using result = Ret;
  using params = std::tuple<Args...>;
};
template <class Ret, class C, class... Args>
struct FnTraits<Ret (C::*)(Args...) const> {
  using result = Ret;
  using params = std::tuple<const C&, Args...>;
};

// The record a slot or property function reads: its first parameter's type.
template <auto Fn>
using SelfOf = std::remove_cvref_t<std::tuple_element_t<0, typename FnTraits<decltype(Fn)>::params>>;

// Fn's result as a Python value (None for void).
template <auto Fn, class... Args>
PyObject* result(Args&&... args) {
  if constexpr (std::is_void_v<typename FnTraits<decltype(Fn)>::result>) {
    std::invoke(Fn, std::forward<Args>(args)...);
    return new_none();
  } else {
    return to_python(std::invoke(Fn, std::forward<Args>(args)...));
  }
}

// "Class.name()", or "name()" for a module function (Owner void).
template <class Owner>
std::string function_name(const char* name) {
  if constexpr (std::is_void_v<Owner>) {
    return std::string(name) + "()";
  } else {
    return std::string(cell_of<Owner>().name()) + "." + name + "()";
  }
}

// Fn bound under the Python name Py with parameter names Ps. Owner is the
// class (void for a module function); with Self, Fn takes the instance's
// record first.
template <class Owner, bool Self, auto Fn, Name Py, Name... Ps>
struct Bound {
  using Params = typename FnTraits<decltype(Fn)>::params;
  static constexpr std::size_t kArity = sizeof...(Ps);
  static constexpr std::size_t kOffset = Self ? 1 : 0;
  static_assert(std::tuple_size_v<Params> == kArity + kOffset,
                "one Python name for each parameter");
  template <std::size_t I>
  using Arg = Param<std::tuple_element_t<I + kOffset, Params>>;

  static constexpr const char* kName = Py.text;
  static constexpr const char* kNames[kArity + 1] = {Ps.text..., nullptr};

  // Every parameter is required. Built at the first call that needs it:
  // only calls with keywords and binding failures name the function.
  static const Signature& signature() {
    static const std::string function = function_name<Owner>(kName);
    static const Signature sig{function.c_str(), {kNames, kArity}, kArity};
    return sig;
  }

  // v: one borrowed reference per parameter.
  static PyObject* call(PyObject* self, PyObject* const* v) {
    return call(self, v, std::make_index_sequence<kArity>{});
  }
  template <std::size_t... I>
  static PyObject* call(PyObject* self, PyObject* const* v, std::index_sequence<I...>) {
    std::tuple<typename Arg<I>::Held...> held;
    if (!(Arg<I>::load(v[I], kNames[I], std::get<I>(held)) && ...)) return nullptr;
    if constexpr (Self) {
      return result<Fn>(record_of<Owner>(self), Arg<I>::get(std::get<I>(held))...);
    } else {
      (void)self;
      return result<Fn>(Arg<I>::get(std::get<I>(held))...);
    }
  }

  static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
      // The usual call: every argument by position.
      if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(kArity)) return call(self, args);
      std::array<PyObject*, kArity> bound{};
      if (!bind_fast(signature(), args, nargs, kwnames, bound.data())) return nullptr;
      return call(self, bound.data());
    });
  }

  static PyObject* no_args(PyObject* self, PyObject*) noexcept {
    return guard([&] { return call(self, nullptr); });
  }

  static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&]() -> PyObject* {
      std::array<PyObject*, kArity> bound{};
      if (!bind_tuple(signature(), args, kwargs, bound.data())) return nullptr;
      return call(nullptr, bound.data());
    });
  }

  // The method-table row: the calling convention follows from the arity.
  static MethodRow row(int flags, const char* doc) {
    if constexpr (kArity == 0) {
      return {kName, &no_args, flags | METH_NOARGS, {}, doc};
    } else {
      return {kName, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast)),
              flags | METH_FASTCALL | METH_KEYWORDS, {kNames, kArity}, doc};
    }
  }
};

}  // namespace adapt

// Slots and property getters of an instance: Fn takes the record.
template <auto Fn>
PyObject* unary_slot(PyObject* self) noexcept {
  return guard([&] { return adapt::result<Fn>(record_of<adapt::SelfOf<Fn>>(self)); });
}
template <auto Fn>
PyObject* getter_slot(PyObject* self, void*) noexcept {
  return unary_slot<Fn>(self);
}
template <auto Fn>
Py_hash_t hash_slot(PyObject* self) noexcept {
  return guarded<Py_hash_t>(
      -1, [&] { return static_cast<Py_hash_t>(std::invoke(Fn, record_of<adapt::SelfOf<Fn>>(self))); });
}

// A module-level function.
template <auto Fn, Name Py, Name... Ps>
MethodRow function(const char* doc) {
  return adapt::Bound<void, false, Fn, Py, Ps...>::row(0, doc);
}

}  // namespace ulo::py
