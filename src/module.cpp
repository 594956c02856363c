// The Python surface of the module: registration, argument binding, row-data
// conversion, and the translation of results and failures. Everything here runs
// on the calling interpreter thread with the interpreter lock held; the
// operations themselves see no Python type.
//
// The same source builds against CPython and PyPy (whose headers rename every
// C-API entry point to its PyPy-prefixed form).

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/cancellation.hpp"
#include "runtime/failure.hpp"
#include "runtime/pool.hpp"
#include "runtime/out_of_memory.hpp"
#include "src/data_rows.hpp"
#include "src/operations.hpp"

namespace vorlinde {
namespace {

// An owned (strong) reference, released when it goes out of scope, so that no
// path through a call, failing ones included, can leak a temporary object.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Thrown when a Python exception is already pending; the call frame returns the
// null result and leaves the exception to the host. Deliberately not a
// std::exception, so that no handler for operation failures can swallow it.
struct PythonErrorSet {};

// Takes ownership of a result of the C API, throwing when it signals an error.
Ref checked(PyObject* result) {
  if (result == nullptr) throw PythonErrorSet{};
  return Ref(result);
}

[[noreturn]] void raise(PyObject* type, Ref message) {
  PyErr_SetObject(type, message.get());
  throw PythonErrorSet{};
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  raise(type, checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))));
}

// ---------------------------------------------------------------------------
// Failure class

constexpr const char* kPanicDoc =
    "Raised when the module's native code fails. Like SystemExit, it derives from BaseException, "
    "not from Exception, so an `except Exception:` misses it and it will typically propagate all "
    "the way up the stack and make the interpreter exit.";

// Created on first use and kept for the life of the process; the interpreter
// lock serialises the creation.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

// Sets a PanicException carrying `message` as its one str argument. If that
// cannot be built, the error met on the way is left pending instead.
void set_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  // Messages are UTF-8; anything ill-formed is shown as U+FFFD rather than lost.
  Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
  if (!text) return;
  Ref instance(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!instance) return;
  PyErr_SetObject(type, instance.get());
}

// Turns the C++ exception being handled into the pending Python exception and
// returns the null result: a Python error already set stays as it is, memory
// exhaustion is MemoryError saying what could not be allocated (or, for an
// allocation that does not say, that one failed), every other failure is a
// PanicException.
PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
  } catch (const runtime::OutOfMemory& exhausted) {
    PyErr_SetString(PyExc_MemoryError, exhausted.what());
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "could not allocate memory");
  } catch (const std::exception& failure) {
    set_panic(failure.what());
  } catch (...) {
    set_panic("unknown failure");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Fills slots[i] with a borrowed reference to the argument of params[i]. All
// parameters are positional-or-keyword and required. (Not named `bind`: with
// <functional> in reach, argument-dependent lookup would pick std::bind.)
void bind_arguments(const char* function, std::span<const char* const> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const std::size_t n = params.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > n) {
    raise(PyExc_TypeError, std::string(function) + "() takes " + std::to_string(n) + " positional arguments but " +
                               std::to_string(given) + (given == 1 ? " was given" : " were given"));
  }
  for (std::size_t i = 0; i < n; ++i) slots[i] = i < given ? args[i] : nullptr;

  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = n;
    for (std::size_t i = 0; i < n && PyUnicode_Check(key); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, params[i]) == 0) {
        index = i;
        break;
      }
    }
    if (index == n) {
      raise(PyExc_TypeError,
            checked(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", function, key)));
    }
    if (slots[index] != nullptr) {
      raise(PyExc_TypeError, std::string(function) + "() got multiple values for argument '" + params[index] + "'");
    }
    slots[index] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i] == nullptr) missing.push_back(params[i]);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, std::string(function) + "() missing " + std::to_string(missing.size()) +
                               " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                               quoted_list(missing));
  }
}

// ---------------------------------------------------------------------------
// Row data

// The __qualname__ of the object's type, or a fixed stand-in when it cannot be read.
Ref type_name(PyObject* object) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) return name;
  PyErr_Clear();
  return checked(PyUnicode_FromString("<failed to extract type name>"));
}

[[noreturn]] void raise_not_convertible(PyObject* object, const char* target) {
  Ref name = type_name(object);
  raise(PyExc_TypeError,
        checked(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target)));
}

// The str's UTF-8 bytes, valid while the object lives.
std::string_view utf8_of(PyObject* object) {
  if (!PyUnicode_Check(object)) raise_not_convertible(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // a lone surrogate raises the host's encoding error
  if (data == nullptr) throw PythonErrorSet{};
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string extract_string(PyObject* object) { return std::string(utf8_of(object)); }

// Walks a sequence other than str with the iterator protocol, calling
// reserve(hint) once and then each(item) for every item. Its length is only a
// hint: a failing __len__ is ignored, and an implausible one is not trusted
// with an allocation.
template <class Reserve, class Each>
void for_each_item(PyObject* object, Reserve reserve, Each each) {
  if (PyUnicode_Check(object)) raise(PyExc_ValueError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_not_convertible(object, "Sequence");
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), std::size_t{1} << 16));
  Ref iterator = checked(PyObject_GetIter(object));
  for (;;) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) break;
    each(item.get());
  }
  if (PyErr_Occurred()) throw PythonErrorSet{};
}

template <class Item, Item (*convert)(PyObject*)>
std::vector<Item> extract_sequence(PyObject* object) {
  std::vector<Item> items;
  for_each_item(
      object, [&](std::size_t hint) { items.reserve(hint); },
      [&](PyObject* item) { items.push_back(convert(item)); });
  return items;
}

Row extract_row(PyObject* object) { return extract_sequence<std::string, extract_string>(object); }

// A pending error of exactly TypeError gets the parameter's name in front of its
// message, keeping its cause; any other error is left as it is.
void prefix_type_error(const char* parameter) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref cause(owned_value ? PyException_GetCause(owned_value.get()) : nullptr);
  Ref text = checked(PyObject_Str(owned_value.get()));
  Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  Ref replacement = checked(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (cause) PyException_SetCause(replacement.get(), cause.release());  // steals the reference
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

Rows extract_rows(PyObject* object, const char* parameter) {
  try {
    return extract_sequence<Row, extract_row>(object);
  } catch (const PythonErrorSet&) {
    prefix_type_error(parameter);
    throw;
  }
}

// Appends the str's UTF-8 bytes. CPython keeps the UTF-8 copy that
// PyUnicode_AsUTF8AndSize makes of a non-ASCII str for the object's life, and
// a bank's rows stay with the caller for the whole run, so such a str is
// encoded into a temporary instead (the same codec, the same errors). An
// ASCII str is its own UTF-8 and is read in place.
void append_utf8(PyObject* object, RowKeys& keys) {
  const auto append = [&](const char* data, std::size_t size) {
    keys.append(std::span(reinterpret_cast<const std::uint8_t*>(data), size));
  };
#ifndef PYPY_VERSION
  if (PyUnicode_Check(object) && !PyUnicode_IS_ASCII(object)) {
    Ref encoded = checked(PyUnicode_AsUTF8String(object));
    append(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return;
  }
#endif
  const std::string_view bytes = utf8_of(object);
  append(bytes.data(), bytes.size());
}

// extract_rows with only each row's key byte string kept: the same walk, so
// the same failures in the same order.
RowKeys extract_row_keys(PyObject* object, const char* parameter) {
  try {
    RowKeys keys;
    for_each_item(
        object, [&](std::size_t hint) { keys.reserve_rows(hint); },
        [&](PyObject* row) {
          for_each_item(
              row, [](std::size_t) {},
              [&](PyObject* string) { append_utf8(string, keys); });
          keys.end_row();
        });
    keys.shrink_to_fit();
    return keys;
  } catch (const PythonErrorSet&) {
    prefix_type_error(parameter);
    throw;
  }
}

// ---------------------------------------------------------------------------
// Byte-string arguments

// The str as UTF-8, each ill-formed piece (a lone surrogate) shown as U+FFFD.
std::string utf8_lossy(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data != nullptr) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  Ref raw = checked(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  Ref repaired = checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
  data = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (data == nullptr) throw PythonErrorSet{};
  return std::string(data, static_cast<std::size_t>(size));
}

// A borrowed argument, checked only when the operation asks for it. The call
// frame holds a reference for the whole call, so the buffer stays put.
class PyBytesArg final : public BytesArg {
 public:
  explicit PyBytesArg(PyObject* object) : object_(object) {}

  std::span<const std::uint8_t> get(const char* sentence) const override {
    if (PyBytes_Check(object_)) {
      return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_)),
              static_cast<std::size_t>(PyBytes_GET_SIZE(object_))};
    }
    // A repr() that raises leaves its own exception to the caller.
    Ref repr = checked(PyObject_Repr(object_));
    throw runtime::Failure(std::string(sentence) + ": PyDowncastError { from: " + utf8_lossy(repr.get()) +
                           ", to: \"PyBytes\" }");
  }

 private:
  PyObject* object_;
};

// ---------------------------------------------------------------------------
// Results

// Takes ownership of a new result object; when the host ran out of memory
// making it, its bare MemoryError is replaced by one that names the object.
Ref checked_result(PyObject* result, const char* kind, std::size_t count, const char* unit) {
  if (result == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw runtime::OutOfMemory(kind, count, unit, "the result");
  }
  return checked(result);
}

Ref new_bytes(std::span<const std::uint8_t> data) {
  return checked_result(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                  static_cast<Py_ssize_t>(data.size())),
                        "bytes object", data.size(), "bytes");
}

// A bytes object allocated before it is filled: the operation writes its
// result into the object's own buffer before anyone else sees the object.
class PyBytesResult final : public ResultBuffer {
 public:
  std::span<std::uint8_t> allocate(std::size_t size) override {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw runtime::OutOfMemory(size, "the result");
    object_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!object_) {
      if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonErrorSet{};
      PyErr_Clear();
      throw runtime::OutOfMemory(size, "the result");
    }
    return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object_.get())), size};
  }
  Ref take() { return std::move(object_); }

 private:
  Ref object_;
};

// A tuple owning the given new references.
template <std::size_t N>
Ref new_tuple(std::array<Ref, N> items) {
  Ref tuple = checked_result(PyTuple_New(N), "tuple", N, "items");
  for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
  return tuple;
}

Ref new_bool_list(const std::vector<bool>& values) {
  Ref list = checked_result(PyList_New(static_cast<Py_ssize_t>(values.size())), "list", values.size(), "items");
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = values[i] ? Py_True : Py_False;
    Py_INCREF(value);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

// ---------------------------------------------------------------------------
// Call frame

// Binds the arguments, holds a reference to each for the whole call, runs
// `body` on them and converts the outcome: a result, a pending Python error
// (binding, conversion), or an operation failure raised as PanicException.
template <std::size_t N, class Body>
PyObject* call_frame(const char* function, const std::array<const char*, N>& params, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body body) noexcept {
  try {
    std::array<PyObject*, N> bound{};
    bind_arguments(function, params, args, nargs, kwnames, bound.data());
    std::array<Ref, N> held;
    for (std::size_t i = 0; i < N; ++i) held[i] = Ref::borrow(bound[i]);
    const runtime::OperationScope operation;
    Ref result = body(bound);
    return result.release();
  } catch (...) {
    return raise_current_exception();
  }
}

using Args = PyObject* const*;

PyObject* py_key_gen(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 0> kParams{};
  return call_frame("key_gen", kParams, args, nargs, kwnames, [](const auto&) {
    const KeyPair keys = key_gen();
    return new_tuple<2>({new_bytes(keys.public_key), new_bytes(keys.secret_key)});
  });
}

PyObject* py_build_okvs(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kParams{"public_key", "strings_in_each_row"};
  return call_frame("build_okvs", kParams, args, nargs, kwnames, [](const auto& a) {
    RowKeys rows = extract_row_keys(a[1], "strings_in_each_row");
    PyBytesResult result;
    build_okvs(PyBytesArg(a[0]), std::move(rows), result);
    return result.take();
  });
}

PyObject* py_initiate_queries(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kParams{"sender_data", "receiver_data", "sender_okvs", "receiver_okvs",
                                                      "swift_pk"};
  return call_frame("initiate_queries", kParams, args, nargs, kwnames, [](const auto& a) {
    Rows sender = extract_rows(a[0], "sender_data");
    Rows receiver = extract_rows(a[1], "receiver_data");
    return new_bytes(initiate_queries(std::move(sender), std::move(receiver), PyBytesArg(a[2]), PyBytesArg(a[3]),
                                      PyBytesArg(a[4])));
  });
}

PyObject* py_randomize(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kParams{"ciphertexts"};
  return call_frame("randomize", kParams, args, nargs, kwnames,
                    [](const auto& a) { return new_bytes(randomize(PyBytesArg(a[0]))); });
}

PyObject* py_combine(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kParams{"sender_ciphertexts", "receiver_ciphertexts"};
  return call_frame("combine", kParams, args, nargs, kwnames, [](const auto& a) {
    const std::array<Bytes, 4> streams = combine(PyBytesArg(a[0]), PyBytesArg(a[1]));
    return new_tuple<4>({new_bytes(streams[0]), new_bytes(streams[1]), new_bytes(streams[2]), new_bytes(streams[3])});
  });
}

PyObject* py_decrypt(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kParams{"points", "bank_secret_key"};
  return call_frame("decrypt", kParams, args, nargs, kwnames,
                    [](const auto& a) { return new_bytes(decrypt(PyBytesArg(a[0]), PyBytesArg(a[1]))); });
}

PyObject* py_finish(PyObject*, Args args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 5> kParams{"sender_points", "receiver_points", "gamma_points",
                                                      "delta_points", "swift_secret_key"};
  return call_frame("finish", kParams, args, nargs, kwnames, [](const auto& a) {
    return new_bool_list(
        finish(PyBytesArg(a[0]), PyBytesArg(a[1]), PyBytesArg(a[2]), PyBytesArg(a[3]), PyBytesArg(a[4])));
  });
}

// ---------------------------------------------------------------------------
// Signals

// The core's cancellation hook: runs the host's pending signal handlers. A
// handler that raises (Ctrl-C's KeyboardInterrupt) cancels the operation and
// its exception reaches the caller; one that returns lets it go on. The host
// runs handlers on its main thread only and returns at once elsewhere.
#ifndef PYPY_VERSION
void run_pending_signal_handlers() {
  if (PyErr_CheckSignals() != 0) throw PythonErrorSet{};
}
#else
// PyPy runs pending signal handlers between bytecodes of Python code, and its
// PyErr_CheckSignals does not run them; so the hook calls a Python function
// whose loop passes such a point.
PyObject* g_signal_poll = nullptr;

void make_signal_poll() {
  Ref globals = checked(PyDict_New());
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw PythonErrorSet{};
  checked(PyRun_String("def poll():\n    for _ in (0,):\n        pass\n", Py_file_input, globals.get(),
                       globals.get()));
  g_signal_poll = Ref::borrow(PyDict_GetItemString(globals.get(), "poll")).release();
  if (g_signal_poll == nullptr) throw PythonErrorSet{};
}

void run_pending_signal_handlers() {
  if (g_signal_poll == nullptr) return;
  Ref result(PyObject_CallObject(g_signal_poll, nullptr));
  if (!result) throw PythonErrorSet{};
}
#endif

// ---------------------------------------------------------------------------
// Module

using FastKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction as_cfunction(FastKeywordsFunction function) {
  // The host calls through the real signature, chosen by METH_FASTCALL | METH_KEYWORDS.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

// A docstring that starts with "name(parameters)\n--\n\n" gives the function a
// text signature: CPython and PyPy's cpyext alike move that part into
// __text_signature__ (read by inspect.signature and help()) and show only the
// rest as __doc__, None when the rest is empty. The parameter lists must be the
// names bind_arguments accepts as keywords (each function's kParams), all of
// them positional-or-keyword, hence no "/" or "*".
#define VORLINDE_SIGNATURE(text) text "\n--\n\n"

// The host keeps pointers into these definitions for the life of the functions.
PyMethodDef functions[] = {
    {"key_gen", as_cfunction(py_key_gen), kCallFlags,
     VORLINDE_SIGNATURE("key_gen()")
     "Generates a key pair for this party, returning a tuple with (public_key: bytes, secret_key: bytes)."},
    {"build_okvs", as_cfunction(py_build_okvs), kCallFlags,
     VORLINDE_SIGNATURE("build_okvs(public_key, strings_in_each_row)")
     "Builds an OKVS for one party. Takes the public key of this party and the data from the database, which is a "
     "list of rows. Each row is a list of the relevant columns as a String."},
    {"initiate_queries", as_cfunction(py_initiate_queries), kCallFlags,
     VORLINDE_SIGNATURE("initiate_queries(sender_data, receiver_data, sender_okvs, receiver_okvs, swift_pk)")},
    {"randomize", as_cfunction(py_randomize), kCallFlags, VORLINDE_SIGNATURE("randomize(ciphertexts)")},
    {"combine", as_cfunction(py_combine), kCallFlags,
     VORLINDE_SIGNATURE("combine(sender_ciphertexts, receiver_ciphertexts)")},
    {"decrypt", as_cfunction(py_decrypt), kCallFlags, VORLINDE_SIGNATURE("decrypt(points, bank_secret_key)")},
    {"finish", as_cfunction(py_finish), kCallFlags,
     VORLINDE_SIGNATURE("finish(sender_points, receiver_points, gamma_points, delta_points, swift_secret_key)")},
};

#undef VORLINDE_SIGNATURE

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorlinde",
    "A Python module for the cryptographic operations necessary to do feature extraction "
    "(element matching in two datasets).",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr int kModuleApiVersion = 1013;

std::atomic<bool> initialized{false};

#ifdef PYPY_VERSION
// Older PyPy 3.7 releases mis-handle extension modules built like this one;
// warn rather than refuse, so the caller still gets the module.
void check_host_version() {
  Ref sys = checked(PyImport_ImportModule("sys"));
  Ref implementation = checked(PyObject_GetAttrString(sys.get(), "implementation"));
  Ref version = checked(PyObject_GetAttrString(implementation.get(), "version"));
  Ref oldest_safe = checked(Py_BuildValue("(iii)", 7, 3, 8));
  const int older = PyObject_RichCompareBool(version.get(), oldest_safe.get(), Py_LT);
  if (older < 0) throw PythonErrorSet{};
  if (older == 0) return;
  Ref warnings = checked(PyImport_ImportModule("warnings"));
  Ref warn = checked(PyObject_GetAttrString(warnings.get(), "warn"));
  Ref message = checked(PyUnicode_FromString(
      "PyPy 3.7 versions older than 7.3.8 are known to have binary compatibility issues which may cause segfaults. "
      "Please upgrade."));
  checked(PyObject_CallFunctionObjArgs(warn.get(), message.get(), nullptr));
}
#endif

// The module's __all__, created empty when the module has none yet.
Ref all_list(PyObject* module) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
  PyErr_Clear();
  all = checked(PyList_New(0));
  if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
  return all;
}

PyObject* initialize() noexcept {
  try {
#ifdef PYPY_VERSION
    check_host_version();
#endif
    Ref module(PyModule_Create2(&module_definition, kModuleApiVersion));
    if (!module) return nullptr;
    if (initialized.exchange(true)) {
      raise(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
    }
#ifdef PYPY_VERSION
    make_signal_poll();
#endif
    runtime::set_cancellation_hook(run_pending_signal_handlers);
    // Made by hand: PyPy 3.9 has no PyModule_GetNameObject.
    Ref module_name = checked(PyUnicode_FromString(module_definition.m_name));
    for (PyMethodDef& definition : functions) {
      Ref function = checked(PyCFunction_NewEx(&definition, module.get(), module_name.get()));
      Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
      Ref all = all_list(module.get());
      if (PyList_Append(all.get(), name.get()) < 0) throw PythonErrorSet{};
      if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) throw PythonErrorSet{};
    }
    return module.release();
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace
}  // namespace vorlinde

// The module is built with hidden visibility. From 3.9 on PyMODINIT_FUNC marks
// the entry point visible; 3.8's does not, and the linker's export list cannot
// bring back a hidden symbol, so a first declaration marks it for every
// version (an attribute after PyMODINIT_FUNC's return type would not apply).
#if defined(__GNUC__)
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_vorlinde(void);
#endif

PyMODINIT_FUNC PyInit_vorlinde(void) { return vorlinde::initialize(); }
