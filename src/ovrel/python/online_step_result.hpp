#pragma once

// OnlineStepResult, the read-only record of one streaming step. A batch makes one per value, so
// the class is a plain CPython type rather than a nanobind one: each record is a single small
// allocation holding the numbers inline, outside nanobind's instance registry (whose bookkeeping
// per object grows with the number of live records), and its attributes are member descriptors.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ovrel/core/detectors.hpp"

namespace ovrel::python {

namespace nb = nanobind;

// A new OnlineStepResult holding the record.
nb::object new_step_result(const core::OnlineStepResult& step);

// The records of one batch, written straight into their Python objects. The objects and the list
// that will hold them are allocated with the interpreter lock held (reserve); `add` may then run
// without it, since the objects are reachable from nowhere else until `take_list` (lock held again)
// hands them over in the list. An alert reason is kept as text until `take_list` makes it a str.
// Objects not handed over are released with the lock held, by the destructor.
class StepResultBatch {
 public:
  // What reserve allocates per record: the record, the pointer that holds it until it is handed
  // over, and its slot in the list.
  static constexpr std::size_t kBytesPerRecord = 64 + 2 * sizeof(PyObject*);

  StepResultBatch() = default;
  StepResultBatch(const StepResultBatch&) = delete;
  StepResultBatch& operator=(const StepResultBatch&) = delete;
  ~StepResultBatch();

  // Lock held. Allocates `n` records and the list; throws std::bad_alloc when memory runs out (no
  // Python error set), so the caller can say what the whole batch needed.
  void reserve(std::size_t n);
  // No lock needed. Fills the next reserved record; at most `n` calls.
  void add(core::OnlineStepResult&& step);
  // Lock held, every reserved record filled. The records as a list, in order; throws
  // std::bad_alloc when an alert reason's str cannot be made.
  nb::object take_list();
  // Lock held. Releases the records not handed over, the list and the alert reasons. A batch that
  // ran out of memory releases its own before its error is made.
  void release() noexcept;

 private:
  std::vector<PyObject*> objects_;
  nb::object list_;
  std::size_t filled_ = 0;
  // (index, text) of the records that carry an alert reason.
  std::vector<std::pair<std::size_t, std::string>> reasons_;
};

}  // namespace ovrel::python
