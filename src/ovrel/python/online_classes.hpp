#pragma once

// The streaming classes Bocpd, Cusum and PageHinkley and the opaque state classes their
// load_state accepts. Each detector object owns one engine detector;
// its configuration never changes after construction.

#include <nanobind/nanobind.h>

#include <string_view>

#include "ovrel/core/detectors.hpp"
#include "ovrel/online/baseline.hpp"
#include "ovrel/online/bocpd.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

namespace nb = nanobind;

struct PyBocpd {
  online::BocpdDetector detector;
  BorrowFlag borrow;
};
struct PyCusum {
  online::CusumDetector detector;
  BorrowFlag borrow;
};
struct PyPageHinkley {
  online::PageHinkleyDetector detector;
  BorrowFlag borrow;
};

struct PyBocpdState {
  online::BocpdState value;
};
struct PyCusumState {
  online::CusumState value;
};
struct PyPageHinkleyState {
  online::PageHinkleyState value;
};

// "gaussian_nig", "poisson_gamma" or "bernoulli_beta".
std::string_view canonical_model_name(const online::ObservationModel& model) noexcept;

// save_state and load_state of each detector class.
void add_checkpoint_methods(nb::class_<PyBocpd>& cls);
void add_checkpoint_methods(nb::class_<PyCusum>& cls);
void add_checkpoint_methods(nb::class_<PyPageHinkley>& cls);

}  // namespace ovrel::python
