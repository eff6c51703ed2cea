// The backup's texts: the partition texts with and without a drive letter, and the engine's
// table against the shipped English language file, both ways.
#include "engine/backup_texts.h"

#include <gtest/gtest.h>

#include <string>

#include "core/tav_xml.h"
#include "disk/part_record.h"
#include "tests/core/language_test_support.h"

namespace tav::engine {
namespace {

constexpr char kShippedEnglish[] = TAV_SOURCE_DIR "/lang/lang.en-us.xml";

TEST(BackupTexts, PartitionTextShowsTheLetterOrTheDeviceName) {
  struct Case {
    const char* name;
    char letter;
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"letter", 'D', "锁定分区 %c:", "锁定分区 D:"},
      {"no letter: device name, no colon", 0, "锁定分区 %c:", "锁定分区 /dev/sdz7"},
      {"no letter inside brackets", 0, "为系统盘(%c:)创建进度...", "为系统盘(/dev/sdz7)创建进度..."},
      {"percent stays text", 0, "100%% %c", "100% /dev/sdz7"},
      {"letter with percent", 'C', "%c: 50%%", "C: 50%"},
      {"no conversion", 0, "完成", "完成"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BACKUP_PARTITION_INFO part;
    part.dev_name = "/dev/sdz7";
    part.dev_path = "/dev/sdz7";
    disk::set_rec_u8(part, img::part_layout::kDriveLetter, uint8_t(c.letter));
    EXPECT_EQ(partition_text(c.text, part), c.expected);
  }
}

TEST(BackupTexts, DeviceNameIsNeverAFormat) {
  BACKUP_PARTITION_INFO part;
  part.dev_name = "/tmp/disk%s%n.img@2048";
  part.dev_path = part.dev_name;
  EXPECT_EQ(partition_text("Locking partition %c:", part), "Locking partition /tmp/disk%s%n.img@2048");
}

// Every key of the engine's table has an English text with the same conversions, and the
// engine's section holds no key the table does not know.
TEST(BackupTexts, ShippedEnglishCoversTheEngineTable) {
  CTavXml doc(1);
  ASSERT_EQ(doc.Load(kShippedEnglish), kXmlOk);
  for (const LanguageTable& t : engine_language_tables()) {
    ASSERT_NO_FATAL_FAILURE(test_support::expect_section_matches_table(doc, t));
  }
}

}  // namespace
}  // namespace tav::engine
