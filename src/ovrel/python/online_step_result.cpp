#include "ovrel/python/online_step_result.hpp"

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "ovrel/core/error.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/python/module.hpp"
#include "ovrel/python/registry.hpp"
#include "ovrel/python/runtime.hpp"

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define OVREL_MEMBER_U64 T_ULONGLONG
#define OVREL_MEMBER_F64 T_DOUBLE
#define OVREL_MEMBER_READONLY READONLY
#else
#define OVREL_MEMBER_U64 Py_T_ULONGLONG
#define OVREL_MEMBER_F64 Py_T_DOUBLE
#define OVREL_MEMBER_READONLY Py_READONLY
#endif

namespace ovrel::python {

namespace {

static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));

// 64 bytes, the smallest size class that holds the record: a batch's records are most of its
// memory traffic.
struct StepObject {
  PyObject ob_base;
  std::uint64_t t;
  double p_change;
  std::uint64_t run_length_mode;
  double run_length_mean;
  // A str, or null for None.
  PyObject* alert_reason;
  // The latency in microseconds in the low bits, then the alert and has-latency flags. The engine's
  // latency is a nanosecond count below INT64_MAX divided by 256,000, far below the flags.
  std::uint64_t latency_and_flags;
};
static_assert(sizeof(StepObject) == 64);
static_assert(StepResultBatch::kBytesPerRecord == sizeof(StepObject) + 2 * sizeof(PyObject*));

constexpr std::uint64_t kAlertBit = std::uint64_t{1} << 62;
constexpr std::uint64_t kHasLatencyBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kLatencyMask = kAlertBit - 1;

// Created once by register_online_step_result; the module holds it for the process's lifetime.
PyTypeObject* step_type = nullptr;

StepObject* as_step(PyObject* self) { return reinterpret_cast<StepObject*>(self); }

// The memory of released records, kept for the records of the next batch: a stream fed in batches
// then reuses the same pages instead of taking fresh ones from the system (each fresh page costs a
// page fault, about as much as the record itself). At most kMaxFreeRecords are kept (8 MiB). Every
// record is made and released with the interpreter lock held, which guards the list; a build
// without that lock keeps none.
struct FreeRecord {
  FreeRecord* next;
};
FreeRecord* free_records = nullptr;
std::size_t free_count = 0;
#ifdef Py_GIL_DISABLED
constexpr std::size_t kMaxFreeRecords = 0;
#else
constexpr std::size_t kMaxFreeRecords = std::size_t{1} << 17;
#endif

// A record with no fields set yet, or null with MemoryError set.
StepObject* allocate_step() {
  void* memory = nullptr;
  if (free_records != nullptr) {
    memory = free_records;
    free_records = free_records->next;
    --free_count;
  } else {
    memory = PyObject_Malloc(sizeof(StepObject));
    if (memory == nullptr) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), step_type);
  StepObject* step = as_step(self);
  step->alert_reason = nullptr;
  return step;
}

void fill_numbers(StepObject* out, const core::OnlineStepResult& step) noexcept {
  out->t = step.t;
  out->p_change = step.p_change;
  out->run_length_mode = step.run_length_mode;
  out->run_length_mean = step.run_length_mean;
  std::uint64_t word = std::min(step.processing_latency_us.value_or(0), kLatencyMask);
  if (step.alert) word |= kAlertBit;
  if (step.processing_latency_us) word |= kHasLatencyBit;
  out->latency_and_flags = word;
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void step_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_step(self)->alert_reason);
  if (free_count < kMaxFreeRecords) {
    free_records = ::new (static_cast<void*>(self)) FreeRecord{free_records};
    ++free_count;
  } else {
    PyObject_Free(self);
  }
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* step_repr(PyObject* self) {
  const StepObject* s = as_step(self);
  const std::string text = core::cat(
      "OnlineStepResult(t=", s->t, ", p_change=", core::fixed(s->p_change, 6),
      ", alert=", (s->latency_and_flags & kAlertBit) != 0, ", run_length_mode=", s->run_length_mode,
      ", run_length_mean=", core::fixed(s->run_length_mean, 3), ")");
  return new_str(text);
}

PyObject* alert(PyObject* self, void*) {
  return PyBool_FromLong((as_step(self)->latency_and_flags & kAlertBit) != 0 ? 1 : 0);
}

PyObject* processing_latency_us(PyObject* self, void*) {
  const std::uint64_t word = as_step(self)->latency_and_flags;
  if ((word & kHasLatencyBit) == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(word & kLatencyMask);
}

PyObject* alert_reason(PyObject* self, void*) {
  PyObject* reason = as_step(self)->alert_reason;
  if (reason == nullptr) Py_RETURN_NONE;
  Py_INCREF(reason);
  return reason;
}

// The class cannot be made from Python, through its call or through __new__.
PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for OnlineStepResult");
  return nullptr;
}

PyMemberDef step_members[] = {
    {"t", OVREL_MEMBER_U64, offsetof(StepObject, t), OVREL_MEMBER_READONLY, nullptr},
    {"p_change", OVREL_MEMBER_F64, offsetof(StepObject, p_change), OVREL_MEMBER_READONLY, nullptr},
    {"run_length_mode", OVREL_MEMBER_U64, offsetof(StepObject, run_length_mode),
     OVREL_MEMBER_READONLY, nullptr},
    {"run_length_mean", OVREL_MEMBER_F64, offsetof(StepObject, run_length_mean),
     OVREL_MEMBER_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef step_getset[] = {
    {"alert", &alert, nullptr, nullptr, nullptr},
    {"alert_reason", &alert_reason, nullptr, nullptr, nullptr},
    {"processing_latency_us", &processing_latency_us, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot step_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&step_dealloc)},
                            {Py_tp_repr, reinterpret_cast<void*>(&step_repr)},
                            {Py_tp_new, reinterpret_cast<void*>(&refuse_new)},
                            {Py_tp_members, static_cast<void*>(step_members)},
                            {Py_tp_getset, static_cast<void*>(step_getset)},
                            {0, nullptr}};

}  // namespace

nb::object new_step_result(const core::OnlineStepResult& step) {
  StepObject* out = allocate_step();
  if (out == nullptr) throw nb::python_error();
  nb::object object = nb::steal(reinterpret_cast<PyObject*>(out));
  fill_numbers(out, step);
  if (step.alert_reason) {
    out->alert_reason = new_str(*step.alert_reason);
    if (out->alert_reason == nullptr) throw nb::python_error();
  }
  return object;
}

StepResultBatch::~StepResultBatch() { release(); }

void StepResultBatch::release() noexcept {
  for (PyObject* object : objects_) Py_XDECREF(object);
  std::vector<PyObject*>().swap(objects_);
  list_.reset();
  std::vector<std::pair<std::size_t, std::string>>().swap(reasons_);
}

namespace {

// Inside reserve and take_list a refused allocation is reported as std::bad_alloc, whether the
// system or the interpreter refused it.
[[noreturn]] void memory_refused() {
  PyErr_Clear();
  throw std::bad_alloc();
}

}  // namespace

void StepResultBatch::reserve(std::size_t n) {
  if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) || objects_.size() + filled_ != 0)
    throw InternalError("a step record batch is reserved once, for at most PY_SSIZE_T_MAX");
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
  if (list == nullptr) memory_refused();
  list_ = nb::steal(list);
  objects_.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    StepObject* step = allocate_step();
    if (step == nullptr) memory_refused();
    objects_.push_back(reinterpret_cast<PyObject*>(step));
  }
}

void StepResultBatch::add(core::OnlineStepResult&& step) {
  if (filled_ == objects_.size()) throw InternalError("more step records than reserved");
  const std::size_t index = filled_++;
  fill_numbers(as_step(objects_[index]), step);
  if (step.alert_reason) reasons_.emplace_back(index, std::move(*step.alert_reason));
}

nb::object StepResultBatch::take_list() {
  // Alert reasons repeat (a cooldown's suppressed steps, a saturated p_change): equal texts in a
  // row share one str.
  const std::string* last_text = nullptr;
  PyObject* last = nullptr;
  for (const auto& [index, text] : reasons_) {
    if (last_text == nullptr || *last_text != text) {
      last = new_str(text);
      if (last == nullptr) memory_refused();
      last_text = &text;
    } else {
      Py_INCREF(last);
    }
    as_step(objects_[index])->alert_reason = last;
  }
  reasons_.clear();
  if (filled_ != objects_.size() || !list_.is_valid())
    throw InternalError("a step record batch was handed over before it was filled");
  for (std::size_t i = 0; i < filled_; ++i) {
    NB_LIST_SET_ITEM(list_.ptr(), static_cast<Py_ssize_t>(i), objects_[i]);
    objects_[i] = nullptr;
  }
  return std::move(list_);
}

void register_online_step_result(nb::module_& m) {
  append_to_all(m, "OnlineStepResult");
  static const std::string name = nb::cast<std::string>(m.attr("__name__")) + ".OnlineStepResult";
  static PyType_Spec spec = {name.c_str(), static_cast<int>(sizeof(StepObject)), 0,
                             Py_TPFLAGS_DEFAULT, step_slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw nb::python_error();
  // The module's attribute keeps it alive; this reference is the records' own, never released.
  step_type = reinterpret_cast<PyTypeObject*>(type);
  nb::setattr(m, "OnlineStepResult", type);
}

}  // namespace ovrel::python
