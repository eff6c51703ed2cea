// Partition record fields kept as stored bytes.
#include "disk/part_record.h"

#include <algorithm>

#include "format/ego_format.h"

namespace tav::disk {

std::string rec_text(const BACKUP_PARTITION_INFO& p, size_t off, size_t size) {
  const uint8_t* begin = &p.record[off];
  const uint8_t* end = std::find(begin, begin + size, uint8_t{0});
  return std::string(begin, end);
}

void set_rec_text(BACKUP_PARTITION_INFO& p, size_t off, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  // Do not end inside a UTF-8 sequence: back off over continuation bytes.
  if (n < text.size()) {
    while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80) --n;
  }
  std::fill(&p.record[off], &p.record[off] + size, uint8_t{0});
  std::copy(text.begin(), text.begin() + n, &p.record[off]);
}

void init_part_record(BACKUP_PARTITION_INFO& p) {
  const auto magic = tav::img::magic_bytes(tav::img::kPartMagic);
  std::copy(magic.begin(), magic.end(), p.record.begin());
}

void set_part_extent(BACKUP_PARTITION_INFO& p, uint64_t first_sector, uint64_t sector_count) {
  p.first_sector = first_sector;
  p.sector_count = sector_count;
  p.last_sector = sector_count ? first_sector + sector_count - 1 : first_sector;
  set_rec_u64(p, pl::kStartSector, first_sector);
  set_rec_u64(p, pl::kSectorCount, sector_count);
}

}  // namespace tav::disk
