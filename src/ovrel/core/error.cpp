#include "ovrel/core/error.hpp"

namespace ovrel::core {

std::string OvrelError::display() const {
  switch (kind_) {
    case ErrorKind::InvalidInput:
      return "invalid input: " + message_;
    case ErrorKind::NumericalIssue:
      return "numerical issue: " + message_;
    case ErrorKind::NotSupported:
      return "not supported: " + message_;
    case ErrorKind::ResourceLimit:
      return "resource limit exceeded: " + message_;
    case ErrorKind::Cancelled:
      return "cancelled";
  }
  throw InternalError("OvrelError with an unknown kind");
}

}  // namespace ovrel::core
