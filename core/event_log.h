// The event log: one information entry per call in the system log. Core layer; services note
// their notable events here (the trace holds the details).
#pragma once

// Writes one syslog entry at LOG_INFO with the formatted message, prefixed "TavEvent: " so the
// entries can be found whatever program wrote them. The process's own openlog() settings (ident,
// facility, options) are left as they are: a daemon's log setup is not disturbed. Never fails
// visibly; safe from any thread; keeps errno.
void TavLogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
