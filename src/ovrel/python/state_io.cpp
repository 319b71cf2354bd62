// save_state and load_state of the online classes: a detector's state carried out of and into
// the process as a checkpoint envelope, returned as bytes or a dictionary, or kept in a file.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/online_classes.hpp"
#include "ovrel/python/registry.hpp"

namespace ovrel::python {

using core::cat;

namespace {

enum class PyCheckpointFormat { Bytes, Json };

PyCheckpointFormat parse_format(const std::string& text) {
  const std::string lowered = ascii_lower(text);
  if (lowered == "bytes") return PyCheckpointFormat::Bytes;
  if (lowered == "json") return PyCheckpointFormat::Json;
  raise(PyExc_ValueError,
        cat("unsupported checkpoint format '", text, "'; expected one of: 'bytes', 'json'"));
}

checkpoint::PayloadCodec codec_of(PyCheckpointFormat format) {
  return format == PyCheckpointFormat::Bytes ? checkpoint::PayloadCodec::Bincode
                                             : checkpoint::PayloadCodec::Json;
}

// os.fspath, then a non-empty str. The path keeps the file system's own bytes, so names that
// Python decoded with surrogate escapes name the same file.
std::optional<std::filesystem::path> parse_checkpoint_path(nb::handle value) {
  if (!value.is_valid() || value.is_none()) return std::nullopt;
  nb::object text = nb::module_::import_("os").attr("fspath")(value);
  if (!is_str(text)) raise(PyExc_TypeError, "checkpoint path must be str or os.PathLike[str]");
  if (PyUnicode_GetLength(text.ptr()) == 0)
    raise(PyExc_ValueError, "checkpoint path must be non-empty");
  nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
  if (!encoded.is_valid()) throw nb::python_error();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.ptr(), &data, &size) != 0) throw nb::python_error();
  return std::filesystem::path(std::string(data, static_cast<std::size_t>(size)));
}

nb::object checkpoint_output(const checkpoint::CheckpointEnvelope& envelope,
                             PyCheckpointFormat format) {
  const std::string text = unwrap(checkpoint::encode_checkpoint_envelope(envelope));
  nb::object bytes =
      nb::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!bytes.is_valid()) throw nb::python_error();
  if (format == PyCheckpointFormat::Bytes) return bytes;
  return nb::module_::import_("json").attr("loads")(bytes);
}

constexpr const char* kNotBytes = "checkpoint bytes input must be a bytes-like value";

// The bytes of a checkpoint, refused unread when there are more than `size_limit`.
std::string read_checkpoint_bytes(nb::handle state, std::uint64_t size_limit) {
  const auto within_limit = [&](Py_ssize_t size) {
    unwrap(checkpoint::check_checkpoint_size(static_cast<std::uint64_t>(size), size_limit));
    return static_cast<std::size_t>(size);
  };
  if (is_str(state)) raise(PyExc_TypeError, kNotBytes);
  if (PyBytes_Check(state.ptr())) {
    return std::string(PyBytes_AS_STRING(state.ptr()), within_limit(PyBytes_GET_SIZE(state.ptr())));
  }
  if (PyByteArray_Check(state.ptr())) {
    return std::string(PyByteArray_AS_STRING(state.ptr()),
                       within_limit(PyByteArray_GET_SIZE(state.ptr())));
  }
  // A sequence of numbers is converted first: its items are refused as they always were, and it
  // costs far more than the bytes it gives.
  std::string bytes = converted_or(PyExc_TypeError, kNotBytes, [&] {
    if (!PySequence_Check(state.ptr())) raise(PyExc_TypeError, kNotBytes);
    // A snapshot: reading an item may run Python code that changes the sequence.
    nb::object items = nb::steal(PySequence_Tuple(state.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyTuple_Size(items.ptr());
    std::string out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const std::uint64_t b = to_u64(nb::handle(PyTuple_GetItem(items.ptr(), i)));
      if (b > 255) raise(PyExc_TypeError, kNotBytes);
      out.push_back(static_cast<char>(b));
    }
    return out;
  });
  within_limit(static_cast<Py_ssize_t>(bytes.size()));
  return bytes;
}

checkpoint::CheckpointEnvelope decode_checkpoint_input(nb::handle state, PyCheckpointFormat reading,
                                                       std::uint64_t size_limit) {
  if (reading == PyCheckpointFormat::Bytes) {
    return unwrap(checkpoint::decode_checkpoint_envelope(read_checkpoint_bytes(state, size_limit)));
  }
  nb::object text = nb::module_::import_("json").attr("dumps")(state);
  return unwrap(checkpoint::decode_checkpoint_envelope(to_str(text)));
}

void check_model(const online::BocpdDetector& detector, const online::BocpdState& state) {
  const online::ObservationModel& model = detector.config().observation;
  for (const online::ObservationStats& stats : state.run_stats) {
    if (stats.index() != model.index()) {
      raise(PyExc_ValueError,
            cat("incompatible Bocpd state for model '", canonical_model_name(model),
                "': state run_stats variant does not match detector "
                "observation model"));
    }
  }
}

// The state object each class takes in load_state.
template <class T>
struct StateObject;
template <>
struct StateObject<PyBocpd> {
  using type = PyBocpdState;
};
template <>
struct StateObject<PyCusum> {
  using type = PyCusumState;
};
template <>
struct StateObject<PyPageHinkley> {
  using type = PyPageHinkleyState;
};

// A BOCPD state is checked against the detector's model as stored, before the loader's
// validation; a file is read once and its one envelope loaded, so the state checked is the state
// installed.
template <class T>
void load_envelope(T& obj, const checkpoint::CheckpointEnvelope& envelope) {
  if constexpr (std::is_same_v<T, PyBocpd>)
    check_model(obj.detector,
                unwrap(checkpoint::load_state_from_checkpoint_envelope(envelope, "bocpd")));
  unwrap(checkpoint::load_checkpoint(obj.detector, envelope));
}

template <class T>
void load_state_object(T& obj, const typename StateObject<T>::type& state) {
  if constexpr (std::is_same_v<T, PyBocpd>) check_model(obj.detector, state.value);
  obj.detector.load_state(state.value);
}

template <class T>
nb::object save_state(nb::handle self, nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments("save_state",
                              {{.name = "format", .keyword_only = true, .none_is_value = true},
                               {.name = "path", .keyword_only = true}},
                              args, kwargs, true);
  std::string format_text = "bytes";
  if (bound[0].is_valid())
    format_text = convert_argument("format", [&] { return to_str(bound[0]); });
  const T& obj = instance<T>(self);
  BorrowFlag::Shared guard(obj.borrow);
  const PyCheckpointFormat format = parse_format(format_text);
  const std::optional<std::filesystem::path> path = parse_checkpoint_path(bound[1]);
  if (path) {
    unwrap(checkpoint::save_checkpoint_file(obj.detector, *path, codec_of(format)));
    return nb::none();
  }
  return checkpoint_output(unwrap(checkpoint::save_checkpoint(obj.detector, codec_of(format))),
                           format);
}

template <class T>
nb::object load_state(nb::handle self, nb::handle args, nb::handle kwargs) {
  auto bound = bind_arguments("load_state",
                              {{.name = "state"},
                               {.name = "format", .keyword_only = true},
                               {.name = "path", .keyword_only = true}},
                              args, kwargs, true);
  T& obj = instance<T>(self);
  BorrowFlag::Exclusive guard(obj.borrow);
  const nb::handle state = bound[0];
  std::optional<std::string> format_text;
  if (bound[1].is_valid())
    format_text = convert_argument("format", [&] { return to_str(bound[1]); });
  const std::optional<std::filesystem::path> path = parse_checkpoint_path(bound[2]);
  if (path) {
    if (state.is_valid())
      raise(PyExc_ValueError, "load_state accepts either 'state' or 'path', not both");
    if (format_text)
      raise(PyExc_ValueError, "load_state does not accept 'format' when loading from path");
    load_envelope(obj, unwrap(checkpoint::read_checkpoint_file(
                           *path, checkpoint::checkpoint_size_limit(obj.detector))));
    return nb::none();
  }
  if (!state.is_valid())
    raise(PyExc_ValueError, "load_state requires checkpoint 'state' bytes/json or 'path'");
  using State = typename StateObject<T>::type;
  if (nb::isinstance<State>(state)) {
    load_state_object(obj, instance<State>(state));
    return nb::none();
  }
  PyCheckpointFormat reading =
      is_dict(state) ? PyCheckpointFormat::Json : PyCheckpointFormat::Bytes;
  if (format_text) reading = parse_format(*format_text);
  load_envelope(obj, decode_checkpoint_input(state, reading,
                                             checkpoint::checkpoint_size_limit(obj.detector)));
  return nb::none();
}

template <class T>
PyObject* save_state_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return save_state<T>(self, args, kwargs); });
}
template <class T>
PyObject* load_state_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return load_state<T>(self, args, kwargs); });
}

template <class T>
void add_methods(nb::handle cls) {
  static PyMethodDef save_def = {
      "save_state",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&save_state_entry<T>)),
      METH_VARARGS | METH_KEYWORDS, "save_state($self, *, format=\"bytes\", path=None)\n--\n\n"};
  static PyMethodDef load_def = {
      "load_state",
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&load_state_entry<T>)),
      METH_VARARGS | METH_KEYWORDS,
      "load_state($self, state=None, *, format=None, path=None)\n--\n\n"};
  add_method(cls, &save_def);
  add_method(cls, &load_def);
}

}  // namespace

void add_checkpoint_methods(nb::class_<PyBocpd>& cls) { add_methods<PyBocpd>(cls); }
void add_checkpoint_methods(nb::class_<PyCusum>& cls) { add_methods<PyCusum>(cls); }
void add_checkpoint_methods(nb::class_<PyPageHinkley>& cls) { add_methods<PyPageHinkley>(cls); }

}  // namespace ovrel::python
