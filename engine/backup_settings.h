// What a backup run takes from "Settings.ini" ("Adjustment") and from the machine: the tuning
// flags, the worker's sizing and the write buffer's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/settings.h"
#include "engine/backup_worker.h"

namespace tav::engine {

struct BackupSettings {
  AdjustmentSettings adjustment;
  WorkerSizing sizing;
  size_t write_buffer_bytes = 0;  // handed to the image writer
};

// The line traced when any "Adjustment" flag differs from its default, else empty:
// "    BackupInDebug=TRUE, BackupBySingleThread=FALSE, ..." (SpeedIncrementalBackup is always
// FALSE; the tuning it named no longer exists).
std::string adjustment_log_line(const AdjustmentSettings& settings);

// Reads the "Adjustment" keys from `settings_path`, traces the line above when there is one, and
// sizes the worker for this machine (logical processors, free memory).
BackupSettings read_backup_settings(const std::string& settings_path);

}  // namespace tav::engine
