// The engine's user-visible texts (backup, restore, clone, validation): its message table (built-in Chinese texts, filled
// from the language file's "TavBak.dll" section on first use) and the partition texts that show
// a drive letter.
#pragma once

#include <span>
#include <string>

#include "core/language.h"
#include "disk/disk.h"

namespace tav::engine {

// Entries of the engine's message table, in table order.
enum class BakText : int {
  kDone,          // STR_DONE
  kFailed,        // STR_FAILED
  kCanceled,      // STR_CANCELED
  kErrorOccur,    // STR_ERROR_OCCUR
  kFinished,      // STR_FINISHED
  kPreparingBak,  // STR_PREPARING_BAK
  kBakPrompt,     // STR_BAK_PROMPT, "%c" = the partition
  kBakLockInfo,   // STR_BAK_LOCK_INFO, "%c" = the partition
  kBakUnlockInfo, // STR_BAK_UNLOCK_INFO, "%c" = the partition
  kBakFinish,     // STR_BAK_FINISH
  kPreparingRes,    // STR_PREPARING_RES
  kPreparingClone,  // STR_PREPARING_CLONE
  k1ClickResPrompt, // STR_1CLICK_RES_PROMPT
  kClonePrompt,     // STR_CLONE_PROMPT, "%c" = the destination
  kResFinish,       // STR_RES_FINISH
  kCloneFinish,     // STR_CLONE_FINISH
  kDiskReadFailed,  // STR_DISK_READ_FAILED
  kDiskWriteFailed, // STR_DISK_WRITE_FAILED
  kPreparingValid,  // STR_PREPARING_VALID
  kValidPartPrompt, // STR_VALID_PART_PROMPT, "%c" = the partition
  kValidFinish,     // STR_VALID_FINISH
};

// Section name of the engine's table in the language files.
inline constexpr char kBackupLanguageModule[] = "TavBak.dll";

// Fills the table from the language file of the process's language, once per process (the
// built-in texts stay when that fails). Safe from several threads.
void init_backup_language();

// The current text of an entry (init_backup_language runs first when it has not yet).
const char* bak_text(BakText id);

// A text whose only conversion is "%c" (the partition's drive letter), made for `part`: the
// letter when the partition has one; otherwise each "%c" (and a ':' right after it) becomes the
// partition's device name ("/dev/sda1"), since Linux partitions usually have no letter. "%%"
// gives "%". The result is never used as a format again, so a device name holding '%' is shown
// as it stands.
std::string partition_text(const char* text, const BACKUP_PARTITION_INFO& part);

// The engine's built-in tables, for the check of the shipped language files.
std::span<const LanguageTable> engine_language_tables();

}  // namespace tav::engine
