// The backup's message table and the partition texts.
#include "engine/backup_texts.h"

#include <mutex>

#include "disk/disk_list.h"
#include "disk/part_record.h"

namespace tav::engine {

namespace {

TAVSTR g_bak_texts[] = {
    {"STR_DONE", "完成"},
    {"STR_FAILED", "失败"},
    {"STR_CANCELED", "取消"},
    {"STR_ERROR_OCCUR", "未知错误发生！"},
    {"STR_FINISHED", "完成"},
    {"STR_PREPARING_BAK", "准备创建进度..."},
    {"STR_BAK_PROMPT", "为系统盘(%c:)创建进度..."},
    {"STR_BAK_LOCK_INFO", "锁定分区 %c:"},
    {"STR_BAK_UNLOCK_INFO", "解锁分区 %c:"},
    {"STR_BAK_FINISH", "进度创建完成！"},
    {"STR_PREPARING_RES", "准备恢复..."},
    {"STR_PREPARING_CLONE", "准备克隆..."},
    {"STR_1CLICK_RES_PROMPT", "恢复系统..."},
    {"STR_CLONE_PROMPT", "克隆到 %c: ..."},
    {"STR_RES_FINISH", "恢复完成！"},
    {"STR_CLONE_FINISH", "克隆完成！"},
    {"STR_DISK_READ_FAILED", "读磁盘失败, 重试?"},
    {"STR_DISK_WRITE_FAILED", "写入磁盘失败, 重试?"},
    {"STR_PREPARING_VALID", "准备校验..."},
    {"STR_VALID_PART_PROMPT", "校验 %c: ..."},
    {"STR_VALID_FINISH", "校验完成！"},
    {nullptr, nullptr},
};
static_assert(std::size(g_bak_texts) == size_t(BakText::kValidFinish) + 2, "one entry per BakText, plus the end");

constexpr LanguageTable kEngineTables[] = {{kBackupLanguageModule, g_bak_texts}};

std::once_flag g_language_once;

}  // namespace

void init_backup_language() {
  std::call_once(g_language_once, [] { TavInitializeLang(g_bak_texts, kBackupLanguageModule); });
}

const char* bak_text(BakText id) {
  init_backup_language();
  return TavGetStr(g_bak_texts, int(id));
}

std::string partition_text(const char* text, const BACKUP_PARTITION_INFO& part) {
  const char letter = disk::part_drive_letter(part);
  const std::string name = letter != 0 ? std::string(1, letter) : std::string(tav_get_partition_dev_name(&part));
  std::string out;
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      out += '%';
      ++p;
    } else if (p[0] == '%' && p[1] == 'c') {
      out += name;
      ++p;
      if (letter == 0 && p[1] == ':') ++p;  // "C:" is a drive; "/dev/sda1:" would be noise
    } else {
      out += *p;
    }
  }
  return out;
}

std::span<const LanguageTable> engine_language_tables() { return kEngineTables; }

}  // namespace tav::engine
