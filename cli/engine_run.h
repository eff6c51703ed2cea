// Running one of the imaging engine's operations (restore, clone) from the command line: the
// engine's and the disk library's reports bound to the session's record, the terminal face
// drawing progress and asking the engine's questions, SIGINT and SIGTERM cancelling the run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/image_session.h"

namespace tav::cli {

struct EngineRunOutcome {
  bool started = false;            // `start` returned nonzero
  bool cancelled = false;          // a signal came, or the run ended with the record's cancel set
  std::optional<int64_t> result;   // the run's work-done result (0 success, < 0 failure)
  // ": " and the latest report of the engine (else of the disk library) when the face has not
  // shown that text already; empty otherwise. For the closing line of a failed run.
  std::string unshown_report;
  // Abort/Retry/Ignore questions answered with Ignore: pieces of data that were let go.
  uint32_t ignored_answers = 0;
};

// Calls `start` (which starts the run on the record's worker thread and returns 1, or 0 when it
// could not) and waits for the run to end. One at a time per process, on the main thread.
EngineRunOutcome run_engine_operation(ImageSession* session, const std::function<int()>& start);

}  // namespace tav::cli
