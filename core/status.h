// Result type used inside a layer. Exported functions keep their fixed result conventions
// (1/0, 0/-1, counts) and convert from Status in their wrapper, in exactly one place.
#pragma once

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

 private:
  Status(StatusCode code, std::string msg) : code_(code), message_(std::move(msg)) {}

  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

}  // namespace tav
