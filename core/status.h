// Result type used inside a layer. Exported functions keep their fixed result conventions
// (1/0, 0/-1, counts) and convert from Status in their wrapper, in exactly one place.
#pragma once

#include <cerrno>
#include <string>
#include <utility>

namespace tav {

enum class StatusCode {
  kOk = 0,
  kCorruption,       // stored data fails a check (sum, CRC, magic, bounds)
  kIoError,          // a read or write of a file or device failed
  kInvalidArgument,  // the caller passed something unusable
  kNotSupported,     // valid, but not something this build handles
  kNotFound,         // a named file, volume or record does not exist
  kOutOfMemory,
  kCancelled,        // the user stopped the operation; a result, not an error message
};

// A status is cheap when ok (no message); a failure carries its code and a message for people.
class Status {
 public:
  Status() = default;
  static Status ok() { return Status(); }
  static Status corruption(std::string msg) { return Status(StatusCode::kCorruption, std::move(msg)); }
  static Status io_error(std::string msg) { return Status(StatusCode::kIoError, std::move(msg)); }
  static Status invalid_argument(std::string msg) {
    return Status(StatusCode::kInvalidArgument, std::move(msg));
  }
  static Status not_supported(std::string msg) { return Status(StatusCode::kNotSupported, std::move(msg)); }
  static Status not_found(std::string msg) { return Status(StatusCode::kNotFound, std::move(msg)); }
  static Status out_of_memory(std::string msg) { return Status(StatusCode::kOutOfMemory, std::move(msg)); }
  static Status cancelled(std::string msg) { return Status(StatusCode::kCancelled, std::move(msg)); }

  bool is_ok() const { return code_ == StatusCode::kOk; }
  explicit operator bool() const { return is_ok(); }
  StatusCode code() const { return code_; }
  const std::string& message() const { return message_; }
  // The same status with `prefix` put before its message (an ok status stays as it is).
  Status with_prefix(const std::string& prefix) const {
    return is_ok() ? *this : Status(code_, prefix + message_);
  }

 private:
  Status(StatusCode code, std::string msg) : code_(code), message_(std::move(msg)) {}

  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

// The errno value that stands for a status at a boundary that reports through errno: 0 when
// ok, EUCLEAN for corruption, EINVAL, ENOENT, ENOMEM, ECANCELED, EIO for I/O errors, and
// `not_supported_code` (callers pick what "not supported" means for them) for kNotSupported.
inline int status_errno(const Status& status, int not_supported_code = EOPNOTSUPP) {
  switch (status.code()) {
    case StatusCode::kOk: return 0;
    case StatusCode::kCorruption: return EUCLEAN;
    case StatusCode::kIoError: return EIO;
    case StatusCode::kInvalidArgument: return EINVAL;
    case StatusCode::kNotSupported: return not_supported_code;
    case StatusCode::kNotFound: return ENOENT;
    case StatusCode::kOutOfMemory: return ENOMEM;
    case StatusCode::kCancelled: return ECANCELED;
  }
  return EIO;
}

}  // namespace tav
