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

// The records of one batch, written straight into their Python objects. The objects are allocated
// with the interpreter lock held (reserve); `add` may then run without it, since the objects are
// reachable from nowhere else until `take_list` (lock held again) hands them over as a list. An
// alert reason is kept as text until `take_list` makes it a str. Objects not handed over are
// released with the lock held, by the destructor.
class StepResultBatch {
 public:
  StepResultBatch() = default;
  StepResultBatch(const StepResultBatch&) = delete;
  StepResultBatch& operator=(const StepResultBatch&) = delete;
  ~StepResultBatch();

  // Lock held. Allocates `n` records; throws MemoryError.
  void reserve(std::size_t n);
  // No lock needed. Fills the next reserved record; at most `n` calls.
  void add(core::OnlineStepResult&& step);
  // Records filled so far: the number of steps applied.
  std::size_t size() const noexcept { return filled_; }
  // Lock held. The filled records as a list, in order.
  nb::object take_list();

 private:
  std::vector<PyObject*> objects_;
  std::size_t filled_ = 0;
  // (index, text) of the records that carry an alert reason.
  std::vector<std::pair<std::size_t, std::string>> reasons_;
};

}  // namespace ovrel::python
