// Running one of the imaging engine's operations (backup, restore, clone, validation) from the
// command line: the
// engine's and the disk library's reports bound to the session's record, the terminal face
// drawing progress and asking the engine's questions, SIGINT and SIGTERM cancelling the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/image_session.h"

namespace tav::cli {

struct EngineRunOutcome {
  bool started = false;  // `start` returned nonzero
  // A signal came, or the run ended with the record's cancel set. A cancelled run usually fails
  // as well (a question open at the Ctrl-C ends with its safe answer, Abort): callers that report
  // a failed run as cancelled test this before `result`.
  bool cancelled = false;
  std::optional<int64_t> result;  // the run's work-done result (>= 0 success, < 0 failure)
  std::chrono::steady_clock::duration elapsed{};  // from the start to the end of the worker
  // ": " and the latest report of the engine (else of the disk library) when the face has not
  // shown that text already; empty otherwise. For the closing line of a failed run.
  std::string unshown_report;
  // Abort/Retry/Ignore questions answered with neither Retry nor Abort: pieces of data that were
  // let go.
  uint32_t ignored_answers = 0;
};

// Calls `start` (which starts the run on the record's worker thread and returns 1, or 0 when it
// could not) and waits for the run to end. One at a time per process, on the main thread.
EngineRunOutcome run_engine_operation(ImageSession* session, const std::function<int()>& start);

// "H:MM:SS" of a run's duration.
std::string elapsed_text(std::chrono::steady_clock::duration d);

}  // namespace tav::cli
