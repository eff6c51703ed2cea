// The run's settings and sizing.
#include "engine/backup_settings.h"

#include "core/os_info.h"
#include "core/trace.h"

namespace tav::engine {

std::string adjustment_log_line(const AdjustmentSettings& s) {
  const AdjustmentSettings defaults;
  if (s.backup_in_debug == defaults.backup_in_debug && s.backup_by_single_thread == defaults.backup_by_single_thread &&
      s.speed_image_read == defaults.speed_image_read && s.get_run_list_before_vss == defaults.get_run_list_before_vss) {
    return {};
  }
  auto flag = [](bool on) { return on ? "TRUE" : "FALSE"; };
  return std::string("    BackupInDebug=") + flag(s.backup_in_debug) +
         ", BackupBySingleThread=" + flag(s.backup_by_single_thread) +
         ", SpeedImageRead=" + flag(s.speed_image_read) + ", SpeedIncrementalBackup=FALSE" +
         ", GetRunListBeforeVss=" + flag(s.get_run_list_before_vss);
}

BackupSettings read_backup_settings(const std::string& settings_path) {
  BackupSettings out;
  out.adjustment = read_adjustment_settings(settings_path);
  const std::string line = adjustment_log_line(out.adjustment);
  if (!line.empty()) TAV_TRACE(kTraceInfo, 0, "%s", line.c_str());
  const int processors = TavGetLogicalProcessorCoreCount();
  out.sizing = size_worker(uint32_t(processors > 0 ? processors : 1), TavGetFreePhyMem(), out.adjustment);
  out.write_buffer_bytes = write_buffer_bytes_for(out.sizing.depth);
  return out;
}

}  // namespace tav::engine
