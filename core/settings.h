// The keys of "Settings.ini" in the program directory, with their defaults and ranges, and the
// typed readers and writers the modules use. Core library (TavPub), over CTavCfg.
//
// Every function takes the file's path; settings_path() gives the installed one. Readers never
// fail: a missing file, section or key, or a value out of range, gives the default. Writers
// return true on success, else false with the reason in the thread's last error (errno).
#pragma once

#include <cstdint>
#include <string>

namespace tav {

inline constexpr char kSettingsFileName[] = "Settings.ini";

// Sections and keys.
inline constexpr char kSettingsSectionLog[] = "Log";
inline constexpr char kSettingsKeyLoadLog[] = "LoadLog";
inline constexpr char kSettingsKeyLogSize[] = "LogSize";
inline constexpr char kSettingsKeyLogExpire[] = "LogExpire";

inline constexpr char kSettingsSectionUpdate[] = "UpdateInfo";
inline constexpr char kSettingsKeyInterval[] = "Interval";
inline constexpr char kSettingsKeyLastCheckTime[] = "LastCheckTime";
inline constexpr char kSettingsKeyServer[] = "Server";
inline constexpr char kSettingsKeyPort[] = "Port";
inline constexpr char kSettingsKeyObject[] = "Object";

inline constexpr char kSettingsSectionTrace[] = "Trace";
inline constexpr char kSettingsKeyTraceOut[] = "Out";
inline constexpr char kSettingsKeyTraceMode[] = "Mode";
inline constexpr char kSettingsKeyTraceLevel[] = "Level";

inline constexpr char kSettingsSectionSettings[] = "Settings";
inline constexpr char kSettingsKeyLanguage[] = "Language";
inline constexpr char kSettingsKeyConsole[] = "Console";

inline constexpr char kSettingsSectionAdjustment[] = "Adjustment";
inline constexpr char kSettingsKeyBackupInDebug[] = "BackupInDebug";
inline constexpr char kSettingsKeyBackupBySingleThread[] = "BackupBySingleThread";
inline constexpr char kSettingsKeySpeedImageRead[] = "SpeedImageRead";
inline constexpr char kSettingsKeyGetRunListBeforeVss[] = "GetRunListBeforeVss";
inline constexpr char kSettingsKeyCompressThreads[] = "CompressThreads";

// Defaults and limits.
inline constexpr uint32_t kDefaultLogSize = 128;  // used for 0 and above kMaxLogSize
inline constexpr uint32_t kMaxLogSize = 512;
inline constexpr uint32_t kDefaultLogExpire = 3;  // used for 0 and above kMaxLogExpire
inline constexpr uint32_t kMaxLogExpire = 7;
inline constexpr uint32_t kDefaultCheckIntervalDays = 7;  // when deciding; also above the maximum
inline constexpr uint32_t kMaxCheckIntervalDays = 30;
inline constexpr char kDefaultUpdateServer[] = "update.example.invalid";
inline constexpr uint16_t kDefaultUpdatePort = 80;
inline constexpr char kDefaultUpdateObject[] = "/download/tavupdate2.ini";
inline constexpr int32_t kMaxTraceLevel = 3;
inline constexpr uint32_t kMaxCompressThreads = 32;

// tav::program_file("Settings.ini").
std::string settings_path();

// Section "Trace": "Out" and "Mode" hexadecimal, "Level" decimal, above 3 taken as 3. The file
// is read only when it exists and is not a directory; otherwise the defaults.
struct TraceSettings {
  uint32_t out = 1;
  uint32_t mode = 7;
  int32_t level = 0;
};
TraceSettings read_trace_settings(const std::string& settings_path);

// Section "Log".
struct LogSettings {
  uint32_t load_log = 0;                    // "LoadLog": 0 or 1 (any nonzero value reads as 1)
  uint32_t log_size = kDefaultLogSize;      // "LogSize": 1..512
  uint32_t log_expire = kDefaultLogExpire;  // "LogExpire": 1..7
};
LogSettings read_log_settings(const std::string& settings_path);
// Writes all three keys as signed decimals.
bool write_log_settings(const std::string& settings_path, const LogSettings& settings);

// Section "UpdateInfo". The default interval depends on who asks: the options dialog shows 0
// (never) for a missing key, the check itself uses 7 days.
enum class IntervalUse { kOptionsDialog, kDecideCheck };
struct UpdateSettings {
  uint32_t interval_days = 0;                 // "Interval": 0 = never, 1..30; above 30 (or negative) -> 7
  uint32_t last_check_time = 0;               // "LastCheckTime": seconds since 1970 of the last check
  std::string server = kDefaultUpdateServer;  // "Server"; empty -> the built-in host
  uint16_t port = kDefaultUpdatePort;         // "Port"; 0 or not a port number -> 80
  std::string object = kDefaultUpdateObject;  // "Object"; empty -> the built-in object
};
UpdateSettings read_update_settings(const std::string& settings_path, IntervalUse use);
bool write_update_interval(const std::string& settings_path, uint32_t interval_days);
// Written unsigned, so times after 2038 still fit the 32 bits.
bool write_last_check_time(const std::string& settings_path, uint32_t seconds_since_1970);

// Section "Settings": the interface language and the console command. Empty when missing.
std::string read_language(const std::string& settings_path);
bool write_language(const std::string& settings_path, const std::string& language);
std::string read_console(const std::string& settings_path);
bool write_console(const std::string& settings_path, const std::string& console);

// Section "Adjustment": engine tuning. The flags are 0 or 1 (nonzero reads as 1).
struct AdjustmentSettings {
  bool backup_in_debug = false;          // "BackupInDebug"
  bool backup_by_single_thread = false;  // "BackupBySingleThread"
  bool speed_image_read = true;          // "SpeedImageRead"
  bool get_run_list_before_vss = false;  // "GetRunListBeforeVss"
  uint32_t compress_threads = 0;         // "CompressThreads": 0 automatic, 1..32; else 0
};
AdjustmentSettings read_adjustment_settings(const std::string& settings_path);

}  // namespace tav
