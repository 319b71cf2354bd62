// OfflineChangePointResult.plot: one matplotlib panel per dimension with the series and a
// vertical line at every change point. matplotlib is imported only here, on demand.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "ovrel/core/text.hpp"
#include "ovrel/python/convert.hpp"
#include "ovrel/python/result_objects.hpp"
#include "ovrel/python/runtime.hpp"

namespace ovrel::python {

using core::cat;

namespace {

using Column = std::vector<double>;

std::vector<Column> columns_from_values(nb::handle values, std::size_t n, std::size_t d) {
  nb::object array = nb::module_::import_("numpy").attr("asarray")(values);
  const auto ndim = nb::cast<long long>(array.attr("ndim"));
  if (ndim == 1) {
    if (d > 1) {
      raise(PyExc_ValueError, cat("plot() received univariate values, but diagnostics.d=", d,
                                  "; expected multivariate values with matching dimensions"));
    }
    Column column;
    try {
      column = nb::cast<Column>(array.attr("tolist")());
    } catch (const nb::python_error&) {
      raise(PyExc_TypeError, "plot() values must be numeric and convertible to float");
    } catch (const nb::cast_error&) {
      raise(PyExc_TypeError, "plot() values must be numeric and convertible to float");
    }
    if (column.size() != n) {
      raise(PyExc_ValueError, cat("plot() values length must equal diagnostics.n; got values_len=",
                                  column.size(), ", diagnostics.n=", n));
    }
    return {std::move(column)};
  }
  if (ndim == 2) {
    const auto shape = nb::cast<std::vector<long long>>(array.attr("shape"));
    if (shape.empty())
      raise(PyExc_ValueError, "plot() could not determine rows from 2D input shape");
    if (shape.size() < 2)
      raise(PyExc_ValueError, "plot() could not determine dimensions from 2D input shape");
    const auto rows = static_cast<std::size_t>(shape[0]);
    const auto dims = static_cast<std::size_t>(shape[1]);
    if (rows != n) {
      raise(PyExc_ValueError, cat("plot() values rows must equal diagnostics.n; got rows=", rows,
                                  ", diagnostics.n=", n));
    }
    if (dims == 0) raise(PyExc_ValueError, "plot() values must contain at least one column");
    if (d != 0 && dims != d) {
      raise(PyExc_ValueError, cat("plot() values column count must equal diagnostics.d; got dims=",
                                  dims, ", diagnostics.d=", d));
    }
    std::vector<Column> matrix;
    try {
      matrix = nb::cast<std::vector<Column>>(array.attr("tolist")());
    } catch (const nb::python_error&) {
      raise(PyExc_TypeError, "plot() values must be numeric and convertible to a 2D float array");
    } catch (const nb::cast_error&) {
      raise(PyExc_TypeError, "plot() values must be numeric and convertible to a 2D float array");
    }
    if (matrix.size() != rows) {
      raise(PyExc_ValueError, cat("plot() values rows do not match input shape; got rows=",
                                  matrix.size(), ", shape_rows=", rows));
    }
    std::vector<Column> columns(dims, Column(rows));
    for (std::size_t i = 0; i < rows; ++i) {
      if (matrix[i].size() != dims) {
        raise(PyExc_ValueError,
              cat("plot() values row ", i, " has length ", matrix[i].size(), ", expected ", dims));
      }
      for (std::size_t j = 0; j < dims; ++j) columns[j][i] = matrix[i][j];
    }
    return columns;
  }
  raise(PyExc_ValueError, cat("plot() expects 1D or 2D input values; got ndim=", ndim));
}

// A piecewise-constant signal from the per-segment means; rows no segment covers stay NaN.
std::vector<Column> columns_from_segments(const PyOfflineChangePointResult& r, std::size_t n,
                                          std::size_t d) {
  if (!r.segments)
    raise(PyExc_ValueError, "plot() requires values when result.segments are unavailable");
  std::size_t dims = d;
  if (dims == 0) {
    for (const PySegmentStats& s : *r.segments) {
      if (s.value.mean) dims = std::max(dims, s.value.mean->size());
    }
    if (dims == 0)
      raise(PyExc_ValueError, "plot() could not infer dimensionality from diagnostics/segments");
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<Column> columns(dims, Column(n, nan));
  for (std::size_t i = 0; i < r.segments->size(); ++i) {
    const core::SegmentStats& s = (*r.segments)[i].value;
    if (s.end < s.start)
      raise(PyExc_ValueError, cat("plot() cannot summarize segments[", i, "] with end < start"));
    if (s.end > n) {
      raise(PyExc_ValueError, cat("plot() cannot summarize segments[", i, "] with end=", s.end,
                                  " beyond diagnostics.n=", n));
    }
    for (std::size_t j = 0; j < dims; ++j) {
      const double v = (s.mean && s.mean->size() > j) ? (*s.mean)[j] : nan;
      std::fill(columns[j].begin() + static_cast<std::ptrdiff_t>(s.start),
                columns[j].begin() + static_cast<std::ptrdiff_t>(s.end), v);
    }
  }
  return columns;
}

}  // namespace

nb::object plot_result(const PyOfflineChangePointResult& r, nb::handle args, nb::handle kwargs) {
  auto bound =
      bind_arguments("plot",
                     {{.name = "values"},
                      {.name = "ax", .keyword_only = true},
                      {.name = "title", .keyword_only = true},
                      {.name = "breakpoint_color", .keyword_only = true, .none_is_value = true},
                      {.name = "breakpoint_style", .keyword_only = true, .none_is_value = true},
                      {.name = "line_width", .keyword_only = true, .none_is_value = true},
                      {.name = "show_legend", .keyword_only = true, .none_is_value = true}},
                     args, kwargs, true);
  nb::handle values = bound[0];
  nb::handle ax = bound[1];
  std::optional<std::string> title;
  if (bound[2].is_valid()) title = convert_argument("title", [&] { return to_str(bound[2]); });
  auto text_arg = [&](std::size_t i, const char* name, const char* fallback) {
    if (!bound[i].is_valid()) return std::string(fallback);
    return convert_argument(name, [&] { return to_str(bound[i]); });
  };
  const std::string color = text_arg(3, "breakpoint_color", "crimson");
  const std::string style = text_arg(4, "breakpoint_style", "--");
  nb::handle width_arg = bound[5];
  const double line_width = width_arg.is_valid()
                                ? convert_argument("line_width", [&] { return to_f64(width_arg); })
                                : 1.5;
  nb::handle legend_arg = bound[6];
  const bool show_legend =
      legend_arg.is_valid() ? convert_argument("show_legend", [&] { return to_bool(legend_arg); })
                            : true;

  if (!std::isfinite(line_width) || line_width <= 0.0) {
    raise(PyExc_ValueError, "plot() requires line_width to be a finite positive float");
  }
  nb::object pyplot;
  try {
    pyplot = nb::module_::import_("matplotlib.pyplot");
  } catch (nb::python_error& e) {
    const std::string reason = nb::cast<std::string>(nb::str(e.value()));
    raise(
        PyExc_ImportError,
        cat("plot() requires optional dependency 'matplotlib'. Install with: python -m pip install "
            "matplotlib (",
            reason, ")"));
  }

  const std::size_t n = r.diagnostics.n;
  const std::size_t d = r.diagnostics.d;
  std::vector<Column> columns =
      values.is_valid() ? columns_from_values(values, n, d) : columns_from_segments(r, n, d);
  const std::size_t dims = columns.size();
  if (dims == 0) raise(PyExc_ValueError, "plot() could not infer any plottable dimensions");

  nb::object figure;
  std::vector<nb::object> panels;
  if (ax.is_valid()) {
    if (dims != 1) {
      raise(
          PyExc_ValueError,
          "plot(ax=...) is only supported for univariate data; omit ax for multivariate plotting");
    }
    try {
      figure = ax.attr("figure");
    } catch (nb::python_error&) {
      raise(PyExc_TypeError,
            "plot(ax=...) requires a matplotlib Axes-like object with a 'figure' attribute");
    }
    panels.push_back(nb::borrow(ax));
  } else {
    nb::dict options;
    options["sharex"] = nb::bool_(dims != 1);
    options["squeeze"] = nb::bool_(false);
    options["figsize"] = nb::make_tuple(10.0, std::max(2.75 * static_cast<double>(dims), 3.5));
    nb::object made = pyplot.attr("subplots")(dims, 1, **options);
    figure = made[0];
    nb::object axes = made[1];
    for (nb::handle panel : axes.attr("ravel")().attr("tolist")())
      panels.push_back(nb::borrow(panel));
  }

  for (std::size_t j = 0; j < std::min(dims, panels.size()); ++j) {
    const std::string label = dims == 1 ? std::string("signal") : cat("signal[", j, "]");
    panels[j].attr("plot")(nb::cast(columns[j]), nb::arg("linewidth") = line_width,
                           nb::arg("label") = label);
    if (dims > 1) panels[j].attr("set_ylabel")(cat("x[", j, "]"));
  }
  bool labelled = false;
  for (const nb::object& panel : panels) {
    for (std::uint64_t c : r.change_points) {
      nb::dict options;
      options["color"] = color;
      options["linestyle"] = style;
      options["linewidth"] = 1.25;
      if (!labelled) {
        options["label"] = "change-point";
        labelled = true;
      }
      panel.attr("axvline")(c, **options);
    }
  }
  if (title && !panels.empty()) panels[0].attr("set_title")(*title);
  if (dims - 1 < panels.size()) panels[dims - 1].attr("set_xlabel")("t");
  if (show_legend) {
    // The location is a keyword: a lone positional string would be read as the list of labels.
    for (const nb::object& panel : panels) panel.attr("legend")(nb::arg("loc") = "best");
  }
  figure.attr("tight_layout")();
  return figure;
}

}  // namespace ovrel::python
