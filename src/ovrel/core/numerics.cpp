#include "ovrel/core/numerics.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "ovrel/core/error.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::core {
namespace {

void require_block(std::span<const double> x, std::span<double> out) {
  if (out.size() != x.size() + 1) {
    throw InternalError(
        cat("prefix table block holds ", out.size(), " entries; expected ", x.size() + 1));
  }
}

struct Plain {
  static double term(double x) noexcept { return x; }
};
struct Square {
  // The product is rounded on its own before it is added: no fused multiply-add.
  static double term(double x) noexcept { return x * x; }
};

template <class Term>
void running(std::span<const double> x, std::span<double> out) noexcept {
  double s = 0.0;
  out[0] = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    s = s + Term::term(x[i]);
    out[i + 1] = s;
  }
}

// Neumaier: the compensation collects the low-order bits lost by each addition and corrects each
// entry on its own; it is never folded back into the running sum.
template <class Term>
void running_compensated(std::span<const double> x, std::span<double> out) noexcept {
  double s = 0.0;
  double c = 0.0;
  out[0] = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double y = Term::term(x[i]);
    const double t = s + y;
    if (std::fabs(s) >= std::fabs(y)) {
      c = c + ((s - t) + y);
    } else {
      c = c + ((y - t) + s);
    }
    s = t;
    out[i + 1] = s + c;
  }
}

template <void (*Fill)(std::span<const double>, std::span<double>) noexcept>
std::vector<double> build(std::span<const double> x) {
  std::vector<double> out(x.size() + 1);
  Fill(x, out);
  return out;
}

}  // namespace

double log_add_exp(double a, double b) noexcept {
  constexpr double kInf = HUGE_VAL;
  if (a == kInf || b == kInf) return kInf;
  if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
  if (a == -kInf) return b;
  if (b == -kInf) return a;
  const double m = a >= b ? a : b;
  const double s = a >= b ? b : a;
  return m + std::log1p(std::exp(s - m));
}

std::vector<double> prefix_sums(std::span<const double> x) { return build<running<Plain>>(x); }
std::vector<double> prefix_sums_kahan(std::span<const double> x) {
  return build<running_compensated<Plain>>(x);
}
std::vector<double> prefix_sum_squares(std::span<const double> x) {
  return build<running<Square>>(x);
}
std::vector<double> prefix_sum_squares_kahan(std::span<const double> x) {
  return build<running_compensated<Square>>(x);
}

void prefix_sums_into(std::span<const double> x, std::span<double> out) {
  require_block(x, out);
  running<Plain>(x, out);
}
void prefix_sums_kahan_into(std::span<const double> x, std::span<double> out) {
  require_block(x, out);
  running_compensated<Plain>(x, out);
}
void prefix_sum_squares_into(std::span<const double> x, std::span<double> out) {
  require_block(x, out);
  running<Square>(x, out);
}
void prefix_sum_squares_kahan_into(std::span<const double> x, std::span<double> out) {
  require_block(x, out);
  running_compensated<Square>(x, out);
}

}  // namespace ovrel::core
