// "Settings.ini": typed readers with the defaults and ranges of each key, and the writers.
#include "core/settings.h"

#include <sys/stat.h>

#include "core/program_dir.h"
#include "core/tav_cfg.h"

namespace tav {
namespace {

int32_t read_signed(const CTavCfg& cfg, const char* section, const char* key, int32_t default_value) {
  return cfg.GetInt32Value(section, key, default_value, /*hex=*/false, /*is_signed=*/true);
}

// `value` when it lies in [low, high], else `fallback`.
uint32_t in_range_or(int32_t value, int32_t low, int32_t high, uint32_t fallback) {
  return (value >= low && value <= high) ? static_cast<uint32_t>(value) : fallback;
}

bool write_signed(CTavCfg& cfg, const char* section, const char* key, int32_t value) {
  return cfg.SetInt32Value(section, key, value, /*hex=*/false, /*is_signed=*/true) != 0;
}

std::string read_string(const std::string& path, const char* section, const char* key) {
  std::string text;
  CTavCfg(path).GetStringValue(section, key, text, "");
  return text;
}

}  // namespace

std::string settings_path() { return program_file(kSettingsFileName); }

TraceSettings read_trace_settings(const std::string& settings_path) {
  TraceSettings settings;
  struct stat st;
  if (stat(settings_path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return settings;
  CTavCfg cfg(settings_path);
  settings.out = static_cast<uint32_t>(cfg.GetInt32Value(kSettingsSectionTrace, kSettingsKeyTraceOut,
                                                         static_cast<int32_t>(settings.out), true, false));
  settings.mode = static_cast<uint32_t>(cfg.GetInt32Value(kSettingsSectionTrace, kSettingsKeyTraceMode,
                                                          static_cast<int32_t>(settings.mode), true, false));
  settings.level = read_signed(cfg, kSettingsSectionTrace, kSettingsKeyTraceLevel, settings.level);
  if (settings.level > kMaxTraceLevel) settings.level = kMaxTraceLevel;
  return settings;
}

LogSettings read_log_settings(const std::string& settings_path) {
  CTavCfg cfg(settings_path);
  LogSettings settings;
  settings.load_log = read_signed(cfg, kSettingsSectionLog, kSettingsKeyLoadLog, 0) != 0 ? 1 : 0;
  settings.log_size = in_range_or(read_signed(cfg, kSettingsSectionLog, kSettingsKeyLogSize, kDefaultLogSize),
                                  1, kMaxLogSize, kDefaultLogSize);
  settings.log_expire =
      in_range_or(read_signed(cfg, kSettingsSectionLog, kSettingsKeyLogExpire, kDefaultLogExpire), 1,
                  kMaxLogExpire, kDefaultLogExpire);
  return settings;
}

bool write_log_settings(const std::string& settings_path, const LogSettings& settings) {
  CTavCfg cfg(settings_path);
  return write_signed(cfg, kSettingsSectionLog, kSettingsKeyLoadLog,
                      static_cast<int32_t>(settings.load_log)) &&
         write_signed(cfg, kSettingsSectionLog, kSettingsKeyLogSize,
                      static_cast<int32_t>(settings.log_size)) &&
         write_signed(cfg, kSettingsSectionLog, kSettingsKeyLogExpire,
                      static_cast<int32_t>(settings.log_expire));
}

UpdateSettings read_update_settings(const std::string& settings_path, IntervalUse use) {
  CTavCfg cfg(settings_path);
  UpdateSettings settings;
  int32_t missing_interval = use == IntervalUse::kOptionsDialog ? 0 : kDefaultCheckIntervalDays;
  settings.interval_days =
      in_range_or(read_signed(cfg, kSettingsSectionUpdate, kSettingsKeyInterval, missing_interval), 0,
                  kMaxCheckIntervalDays, kDefaultCheckIntervalDays);
  settings.last_check_time = static_cast<uint32_t>(
      cfg.GetInt32Value(kSettingsSectionUpdate, kSettingsKeyLastCheckTime, 0, false, false));
  cfg.GetStringValue(kSettingsSectionUpdate, kSettingsKeyServer, settings.server, kDefaultUpdateServer);
  if (settings.server.empty()) settings.server = kDefaultUpdateServer;
  settings.port = static_cast<uint16_t>(
      in_range_or(read_signed(cfg, kSettingsSectionUpdate, kSettingsKeyPort, kDefaultUpdatePort), 1, 65535,
                  kDefaultUpdatePort));
  cfg.GetStringValue(kSettingsSectionUpdate, kSettingsKeyObject, settings.object, kDefaultUpdateObject);
  if (settings.object.empty()) settings.object = kDefaultUpdateObject;
  return settings;
}

bool write_update_interval(const std::string& settings_path, uint32_t interval_days) {
  CTavCfg cfg(settings_path);
  return write_signed(cfg, kSettingsSectionUpdate, kSettingsKeyInterval, static_cast<int32_t>(interval_days));
}

bool write_last_check_time(const std::string& settings_path, uint32_t seconds_since_1970) {
  CTavCfg cfg(settings_path);
  return cfg.SetInt32Value(kSettingsSectionUpdate, kSettingsKeyLastCheckTime,
                           static_cast<int32_t>(seconds_since_1970), false, false) != 0;
}

std::string read_language(const std::string& settings_path) {
  return read_string(settings_path, kSettingsSectionSettings, kSettingsKeyLanguage);
}

bool write_language(const std::string& settings_path, const std::string& language) {
  return CTavCfg(settings_path)
             .SetStringValue(kSettingsSectionSettings, kSettingsKeyLanguage, language.c_str()) != 0;
}

std::string read_console(const std::string& settings_path) {
  return read_string(settings_path, kSettingsSectionSettings, kSettingsKeyConsole);
}

bool write_console(const std::string& settings_path, const std::string& console) {
  return CTavCfg(settings_path)
             .SetStringValue(kSettingsSectionSettings, kSettingsKeyConsole, console.c_str()) != 0;
}

AdjustmentSettings read_adjustment_settings(const std::string& settings_path) {
  CTavCfg cfg(settings_path);
  AdjustmentSettings settings;
  auto flag = [&](const char* key, bool default_value) {
    return read_signed(cfg, kSettingsSectionAdjustment, key, default_value ? 1 : 0) != 0;
  };
  settings.backup_in_debug = flag(kSettingsKeyBackupInDebug, settings.backup_in_debug);
  settings.backup_by_single_thread = flag(kSettingsKeyBackupBySingleThread, settings.backup_by_single_thread);
  settings.speed_image_read = flag(kSettingsKeySpeedImageRead, settings.speed_image_read);
  settings.get_run_list_before_vss = flag(kSettingsKeyGetRunListBeforeVss, settings.get_run_list_before_vss);
  settings.compress_threads =
      in_range_or(read_signed(cfg, kSettingsSectionAdjustment, kSettingsKeyCompressThreads, 0), 0,
                  kMaxCompressThreads, 0);
  return settings;
}

}  // namespace tav
