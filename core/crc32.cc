// CRC-32 over byte buffers: the table-driven definition for any reflected polynomial, and
// libdeflate's fast implementation for the image format's polynomial. Core library (TavPub).
#include "core/crc32.h"

#include <libdeflate.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct CrcTable {
  uint32_t polynomial;
  std::array<uint32_t, 256> entries;
};

constexpr CrcTable make_table(uint32_t polynomial) {
  CrcTable table{polynomial, {}};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
    table.entries[i] = crc;
  }
  return table;
}

constexpr CrcTable kDefaultTable = make_table(tav::kCrc32Polynomial);
static_assert(kDefaultTable.entries[1] == 0x77073096u);
static_assert(kDefaultTable.entries[255] == 0x2D02EF8Du);

// The table in use. Tables are immutable once published and are never freed, so a calculation
// that loaded the pointer just before a reset still reads a complete table. Tables of other
// polynomials are kept, one per polynomial, in g_other_tables (guarded by g_tables_mu), so the
// memory held is bounded by the number of distinct polynomials a process uses.
std::atomic<const CrcTable*> g_table{&kDefaultTable};
std::mutex g_tables_mu;
std::vector<std::unique_ptr<const CrcTable>>* g_other_tables = nullptr;

const CrcTable* table_for(uint32_t polynomial) {
  if (polynomial == tav::kCrc32Polynomial) return &kDefaultTable;
  std::lock_guard<std::mutex> lock(g_tables_mu);
  // Deliberately never destroyed: a calculation may still be using a table at process exit.
  if (g_other_tables == nullptr) g_other_tables = new std::vector<std::unique_ptr<const CrcTable>>;
  for (const auto& t : *g_other_tables) {
    if (t->polynomial == polynomial) return t.get();
  }
  g_other_tables->push_back(std::make_unique<const CrcTable>(make_table(polynomial)));
  return g_other_tables->back().get();
}

uint32_t table_crc(const CrcTable& table, const unsigned char* p, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) crc = table.entries[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace

void libtavpub_crc32_reset(uint32_t polynomial) {
  try {
    g_table.store(table_for(polynomial), std::memory_order_release);
  } catch (const std::bad_alloc&) {
    // Out of memory for a new table: the table in use stays as it was.
  }
}

uint32_t libtavpub_crc32_calc(const void* buffer, size_t length) {
  if (length == 0) return 0;
  const CrcTable* table = g_table.load(std::memory_order_acquire);
  if (table == &kDefaultTable) return libdeflate_crc32(0, buffer, length);
  return table_crc(*table, static_cast<const unsigned char*>(buffer), length);
}
