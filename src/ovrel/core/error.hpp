#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ovrel {

static_assert(sizeof(std::size_t) == 8, "ovrel assumes a 64-bit usize");

// "None" marker for positions and sizes, where the engine's wire forms use SIZE_MAX.
inline constexpr std::size_t kNone = SIZE_MAX;

// A bug, never bad input. Only the binding layer catches it (as PanicException).
class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

namespace core {

enum class ErrorKind : std::uint8_t {
  InvalidInput = 0,
  NumericalIssue = 1,
  NotSupported = 2,
  ResourceLimit = 3,
  Cancelled = 4,
};

class OvrelError {
 public:
  static OvrelError invalid_input(std::string message) {
    return OvrelError(ErrorKind::InvalidInput, std::move(message));
  }
  static OvrelError numerical_issue(std::string message) {
    return OvrelError(ErrorKind::NumericalIssue, std::move(message));
  }
  static OvrelError not_supported(std::string message) {
    return OvrelError(ErrorKind::NotSupported, std::move(message));
  }
  static OvrelError resource_limit(std::string message) {
    return OvrelError(ErrorKind::ResourceLimit, std::move(message));
  }
  // A ResourceLimit raised because the system refused memory the run asked for, with no budget
  // given that could have refused it first; the message names what was being allocated and how
  // much. The binding raises it as MemoryError rather than RuntimeError.
  static OvrelError out_of_memory(std::string message) {
    OvrelError e(ErrorKind::ResourceLimit, std::move(message));
    e.out_of_memory_ = true;
    return e;
  }
  static OvrelError cancelled() { return OvrelError(ErrorKind::Cancelled, {}); }

  ErrorKind kind() const noexcept { return kind_; }
  bool is_out_of_memory() const noexcept { return out_of_memory_; }
  // Empty for Cancelled, which carries no message.
  const std::string& message() const noexcept { return message_; }
  std::string take_message() && noexcept { return std::move(message_); }

  // Facts about the run that failed which may explain the failure without being part of it (the
  // binding adds each as a PEP 678 note on the exception); the message stays as it is.
  std::span<const std::string> notes() const noexcept {
    return notes_ ? std::span<const std::string>(*notes_) : std::span<const std::string>();
  }
  void add_note(std::string note) {
    auto grown = notes_ ? std::make_shared<std::vector<std::string>>(*notes_)
                        : std::make_shared<std::vector<std::string>>();
    grown->push_back(std::move(note));
    notes_ = std::move(grown);
  }

  // "invalid input: {}", ..., "cancelled".
  std::string display() const;

  friend bool operator==(const OvrelError& a, const OvrelError& b) {
    return a.kind_ == b.kind_ && a.message_ == b.message_ && a.out_of_memory_ == b.out_of_memory_ &&
           std::ranges::equal(a.notes(), b.notes());
  }

 private:
  OvrelError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_;
  std::string message_;
  bool out_of_memory_ = false;
  // Behind a pointer: every fallible call returns an OvrelError-sized result, and notes are rare.
  std::shared_ptr<const std::vector<std::string>> notes_;
};

template <class T>
using Result = std::expected<T, OvrelError>;
using Status = std::expected<void, OvrelError>;

inline std::unexpected<OvrelError> fail(OvrelError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<OvrelError> invalid_input(std::string m) {
  return std::unexpected(OvrelError::invalid_input(std::move(m)));
}
inline std::unexpected<OvrelError> numerical_issue(std::string m) {
  return std::unexpected(OvrelError::numerical_issue(std::move(m)));
}
inline std::unexpected<OvrelError> not_supported(std::string m) {
  return std::unexpected(OvrelError::not_supported(std::move(m)));
}
inline std::unexpected<OvrelError> resource_limit(std::string m) {
  return std::unexpected(OvrelError::resource_limit(std::move(m)));
}
inline std::unexpected<OvrelError> out_of_memory(std::string m) {
  return std::unexpected(OvrelError::out_of_memory(std::move(m)));
}
inline std::unexpected<OvrelError> cancelled() { return std::unexpected(OvrelError::cancelled()); }

}  // namespace core

using core::ErrorKind;
using core::OvrelError;
using core::Result;
using core::Status;

}  // namespace ovrel

// Propagates the error of a Result/Status expression; evaluates to nothing.
#define OVREL_TRY(expr)                                             \
  do {                                                              \
    auto&& ovrel_try_result_ = (expr);                              \
    if (!ovrel_try_result_) {                                       \
      return std::unexpected(std::move(ovrel_try_result_).error()); \
    }                                                               \
  } while (false)

#define OVREL_CONCAT_INNER_(a, b) a##b
#define OVREL_CONCAT_(a, b) OVREL_CONCAT_INNER_(a, b)

// OVREL_TRY_ASSIGN(auto x, expr): declares x from the value of expr or propagates its error.
#define OVREL_TRY_ASSIGN(decl, expr) \
  OVREL_TRY_ASSIGN_IMPL_(OVREL_CONCAT_(ovrel_try_tmp_, __LINE__), decl, expr)
#define OVREL_TRY_ASSIGN_IMPL_(tmp, decl, expr)     \
  auto tmp = (expr);                                \
  if (!tmp) {                                       \
    return std::unexpected(std::move(tmp).error()); \
  }                                                 \
  decl = std::move(tmp).value()
