// The event log over syslog.
#include "core/event_log.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <string>

#include "core/format_va.h"

namespace {

// The source name every entry carries; a message prefix rather than openlog()'s ident, which
// belongs to the process.
constexpr const char kEventSource[] = "TavEvent";

}  // namespace

void TavLogEvent(const char* format, ...) {
  if (format == nullptr) return;
  int saved_errno = errno;
  va_list args;
  va_start(args, format);
  std::string message = tav::format_va(format, args);
  va_end(args);
  syslog(LOG_INFO, "%s: %s", kEventSource, message.c_str());
  errno = saved_errno;
}
