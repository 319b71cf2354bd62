#include "ovrel/python/numpy_interop.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "ovrel/core/text.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

// Releases a buffer export on every road out of the conversion.
class BufferExport {
 public:
  explicit BufferExport(nb::handle array) {
    if (PyObject_GetBuffer(array.ptr(), &view_, PyBUF_STRIDES) != 0) throw nb::python_error();
  }
  ~BufferExport() { PyBuffer_Release(&view_); }
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  const Py_buffer& operator*() const { return view_; }
  const Py_buffer* operator->() const { return &view_; }

 private:
  Py_buffer view_{};
};

struct Geometry {
  std::size_t n = 0;
  std::size_t d = 0;
  // Byte strides of a row and of a column (the column stride is unused for 1-D input).
  Py_ssize_t row_stride = 0;
  Py_ssize_t col_stride = 0;
  bool c_contiguous = false;
  bool f_contiguous = false;
};

// NumPy's own contiguity rule: axes of length 1 impose nothing, an empty array is both.
void classify_layout(const Py_buffer& b, Geometry& g) {
  bool any_empty = false;
  for (int i = 0; i < b.ndim; ++i) any_empty = any_empty || b.shape[i] == 0;
  if (any_empty) {
    g.c_contiguous = g.f_contiguous = true;
    return;
  }
  bool c = true;
  Py_ssize_t expected = b.itemsize;
  for (int i = b.ndim - 1; i >= 0; --i) {
    if (b.shape[i] != 1) {
      c = c && b.strides[i] == expected;
      expected *= b.shape[i];
    }
  }
  bool f = true;
  expected = b.itemsize;
  for (int i = 0; i < b.ndim; ++i) {
    if (b.shape[i] != 1) {
      f = f && b.strides[i] == expected;
      expected *= b.shape[i];
    }
  }
  g.c_contiguous = c;
  g.f_contiguous = f;
}

std::size_t element_count(const Geometry& g, std::size_t item_size) {
  std::size_t count = 0;
  std::size_t bytes = 0;
  // A broadcast view (stride 0) can describe far more elements than it has memory for.
  if (__builtin_mul_overflow(g.n, g.d, &count) ||
      __builtin_mul_overflow(count, item_size, &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX)) {
    throw std::bad_alloc();
  }
  return count;
}

// Copies element by element with memcpy: the caller's memory may be unaligned, and its strides
// may be negative or zero.
template <class Src, class Dst>
std::vector<Dst> copy_row_major(const Py_buffer& b, const Geometry& g) {
  std::vector<Dst> out(element_count(g, sizeof(Dst) > sizeof(Src) ? sizeof(Dst) : sizeof(Src)));
  const char* base = static_cast<const char*>(b.buf);
  if (g.c_contiguous && std::is_same_v<Src, Dst>) {
    if (!out.empty()) std::memcpy(out.data(), base, out.size() * sizeof(Dst));
    return out;
  }
  std::size_t k = 0;
  for (std::size_t i = 0; i < g.n; ++i) {
    const char* row = base + static_cast<Py_ssize_t>(i) * g.row_stride;
    for (std::size_t j = 0; j < g.d; ++j) {
      Src v;
      std::memcpy(&v, row + static_cast<Py_ssize_t>(j) * g.col_stride, sizeof(Src));
      out[k++] = static_cast<Dst>(v);
    }
  }
  return out;
}

nb::object numpy_module() { return nb::module_::import_("numpy"); }

bool dtype_equivalent(nb::handle dtype, nb::handle numpy, const char* name) {
  nb::object target = numpy.attr("dtype")(name);
  const int eq = PyObject_RichCompareBool(dtype.ptr(), target.ptr(), Py_EQ);
  if (eq < 0) throw nb::python_error();
  return eq == 1;
}

Py_ssize_t read_index(nb::handle value) {
  const Py_ssize_t v = PyLong_AsSsize_t(value.ptr());
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

constexpr const char* kNoteTimeStrided = "copied time index from strided to contiguous layout";

// Copies a 1-D int64 buffer through its own strides, noting the copy from a strided layout.
std::vector<std::int64_t> copy_time_values(nb::handle array, std::vector<std::string>& notes,
                                           const char* internal_error) {
  BufferExport buffer(array);
  if (buffer->ndim != 1 || buffer->itemsize != sizeof(std::int64_t) || buffer->strides == nullptr)
    raise(PyExc_RuntimeError, internal_error);
  Geometry g;
  g.n = static_cast<std::size_t>(buffer->shape[0]);
  g.d = 1;
  g.row_stride = buffer->strides[0];
  classify_layout(*buffer, g);
  if (!g.c_contiguous && !g.f_contiguous) notes.emplace_back(kNoteTimeStrided);
  return copy_row_major<std::int64_t, std::int64_t>(*buffer, g);
}

// The mask of a numpy.ma.MaskedArray, one byte per element in row-major order; empty when `x`
// is not a masked array or nothing in it is masked. numpy.asarray drops the mask, so without it
// the values hidden under the mask would be read as data.
std::vector<std::uint8_t> masked_elements(nb::handle numpy, nb::handle x) {
  // No masked array can exist before numpy.ma is imported; plain input never imports it.
  nb::object ma = nb::steal(PyImport_GetModule(nb::str("numpy.ma").ptr()));
  if (!ma.is_valid()) {
    if (PyErr_Occurred()) throw nb::python_error();
    return {};
  }
  const int is_masked = PyObject_IsInstance(x.ptr(), ma.attr("MaskedArray").ptr());
  if (is_masked < 0) throw nb::python_error();
  if (is_masked == 0) return {};
  nb::object mask = ma.attr("getmaskarray")(x);
  const int any = PyObject_IsTrue(mask.attr("any")().ptr());
  if (any < 0) throw nb::python_error();
  if (any == 0) return {};
  nb::object bytes =
      numpy.attr("ascontiguousarray")(mask, nb::arg("dtype") = "uint8").attr("tobytes")();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw nb::python_error();
  return std::vector<std::uint8_t>(data, data + size);
}

}  // namespace

std::vector<std::int64_t> parse_datetime_ns_time_storage(nb::handle time_index, std::size_t n,
                                                         std::vector<std::string>& notes) {
  // NumPy exports no buffer of datetime64 elements; the same memory read as int64 holds the
  // nanosecond counts.
  nb::object as_int = time_index.attr("view")(numpy_module().attr("int64"));
  std::vector<std::int64_t> out = copy_time_values(
      as_int, notes, "internal error: failed to downcast datetime64[ns] time index");
  if (out.size() != n)
    raise(PyExc_RuntimeError, "internal error: failed to downcast datetime64[ns] time index");
  return out;
}

std::string dtype_name(nb::handle dtype) {
  PyObject* text = PyObject_Str(dtype.ptr());
  if (text == nullptr) {
    PyErr_Clear();
    return "<unknown dtype>";
  }
  nb::object owned = nb::steal(text);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unknown dtype>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::vector<std::int64_t> parse_time_index(nb::handle numpy, nb::handle time_index, std::size_t n,
                                           std::vector<std::string>& notes) {
  const int is_array = PyObject_IsInstance(time_index.ptr(), numpy.attr("ndarray").ptr());
  if (is_array < 0) throw nb::python_error();
  if (is_array == 0) raise(PyExc_TypeError, "expected numpy.ndarray for time index");
  const Py_ssize_t ndim = read_index(time_index.attr("ndim"));
  if (ndim != 1) {
    raise(PyExc_ValueError, cat("time index must be 1D with length n=", n, ", got ndim=", ndim));
  }
  const Py_ssize_t length = read_index(time_index.attr("shape")[0]);
  if (static_cast<std::size_t>(length) != n) {
    raise(PyExc_ValueError, cat("time index length mismatch: got ", length, ", expected n=", n));
  }
  nb::object dtype = time_index.attr("dtype");
  if (dtype_equivalent(dtype, numpy, "int64"))
    return copy_time_values(time_index, notes,
                            "internal error: failed to downcast int64 time index");
  if (dtype_equivalent(dtype, numpy, "datetime64[ns]"))
    return parse_datetime_ns_time_storage(time_index, n, notes);
  raise(PyExc_TypeError,
        cat("expected int64 or datetime64[ns] for time index, got ", dtype_name(dtype)));
}

core::Result<core::TimeSeriesView> OwnedSeries::view(
    std::optional<std::span<const std::uint8_t>> missing_mask) const {
  core::TimeIndex index = core::TimeIndex::none();
  if (time) index = core::TimeIndex::explicit_times(std::span<const std::int64_t>(*time));
  const core::ValueBuffer buffer =
      is_f32() ? core::ValueBuffer::of_f32(std::get<std::vector<float>>(values))
               : core::ValueBuffer::of_f64(std::get<std::vector<double>>(values));
  return core::TimeSeriesView::create(buffer, n, d, core::MemoryLayout::c_contiguous(),
                                      missing_mask, index, missing);
}

OwnedSeries parse_numpy_series(nb::handle x, core::MissingPolicy missing, bool upcast_f32,
                               std::span<const std::uint8_t> missing_mask) {
  return parse_numpy_series(x, nb::handle(), missing, upcast_f32, missing_mask);
}

OwnedSeries parse_numpy_series(nb::handle x, nb::handle time_index, core::MissingPolicy missing,
                               bool upcast_f32, std::span<const std::uint8_t> missing_mask) {
  nb::object numpy = numpy_module();
  const int is_array = PyObject_IsInstance(x.ptr(), numpy.attr("ndarray").ptr());
  if (is_array < 0) throw nb::python_error();
  if (is_array == 0) raise(PyExc_TypeError, "expected numpy.ndarray for x");

  const Py_ssize_t ndim = read_index(x.attr("ndim"));
  if (ndim != 1 && ndim != 2)
    raise(PyExc_ValueError, cat("expected shape (n,) or (n, d), got ndim=", ndim));

  nb::object dtype = x.attr("dtype");
  bool is_f64 = dtype_equivalent(dtype, numpy, "float64");
  bool is_f32 = !is_f64 && dtype_equivalent(dtype, numpy, "float32");
  if (!is_f64 && !is_f32)
    raise(PyExc_TypeError, cat("expected float32 or float64, got ", dtype_name(dtype)));

  BufferExport buffer(x);
  const std::size_t item_size = is_f64 ? sizeof(double) : sizeof(float);
  if (buffer->ndim != ndim || buffer->itemsize != static_cast<Py_ssize_t>(item_size) ||
      buffer->strides == nullptr) {
    raise(PyExc_RuntimeError, is_f64 ? "internal error: failed to downcast float64 ndarray"
                                     : "internal error: failed to downcast float32 ndarray");
  }
  Geometry g;
  g.n = static_cast<std::size_t>(buffer->shape[0]);
  g.d = ndim == 2 ? static_cast<std::size_t>(buffer->shape[1]) : 1;
  g.row_stride = buffer->strides[0];
  g.col_stride = ndim == 2 ? buffer->strides[1] : 0;
  classify_layout(*buffer, g);

  OwnedSeries out;
  out.n = g.n;
  out.d = g.d;
  out.missing = missing;
  const char* layout_note = nullptr;
  if (!g.c_contiguous)
    layout_note = (g.d >= 2 && g.f_contiguous) ? kNoteFromFContiguous : kNoteFromStrided;

  if (is_f64) {
    out.values = copy_row_major<double, double>(*buffer, g);
    if (layout_note) out.notes.emplace_back(layout_note);
  } else {
    if (layout_note) out.notes.emplace_back(layout_note);
    if (upcast_f32) {
      out.notes.emplace_back(kNoteUpcast);
      out.values = copy_row_major<float, double>(*buffer, g);
    } else {
      out.values = copy_row_major<float, float>(*buffer, g);
    }
  }

  if (time_index.is_valid()) out.time = parse_time_index(numpy, time_index, out.n, out.notes);

  if (missing_mask.empty()) {
    unwrap(out.view());
  } else {
    unwrap(out.view(missing_mask));
  }
  return out;
}

SeriesArgument series_argument(nb::handle x) {
  nb::object numpy = numpy_module();
  SeriesArgument out;
  out.array = numpy.attr("asarray")(x);
  out.mask = masked_elements(numpy, x);
  return out;
}

OwnedSeries parse_owned_series(const SeriesArgument& argument) {
  return parse_numpy_series(argument.array, core::MissingPolicy::Error, false, argument.mask);
}

OwnedSeries parse_owned_series(nb::handle x) { return parse_owned_series(series_argument(x)); }

}  // namespace ovrel::python
