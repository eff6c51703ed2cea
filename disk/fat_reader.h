// Read-only access to FAT12, FAT16 and FAT32 volumes for the FAT handlers: boot sector
// validation, FAT entry decoding, the used-cluster scan, directory lookup of '/'-paths and
// cluster chains. Everything is read through the partition's own operations (read_sectors), so
// the reader serves live partitions and image partitions alike. The reader never writes.
//
// The boot sector fields are laid out in fat_boot_sector.h.
//
// The FAT type follows from the number of data clusters: below 4085 FAT12, below 65525 FAT16,
// else FAT32. A volume laid out as FAT32 (no fixed root directory, 16-bit FAT size 0) with fewer
// clusters is still read as FAT32: it has no root directory a FAT12/16 reader could find.
//
// Sectors: the volume's own sector size is `bytes_per_sector`; everything handed back to the
// handlers is in 512-byte sectors relative to the partition.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "disk/disk.h"

namespace tav::disk::fat {

enum class FatKind : uint8_t { kFat12, kFat16, kFat32 };

// "FAT12", "FAT16" or "FAT32".
const char* kind_name(FatKind kind);

// Width of one FAT entry in bits: 12, 16 or 32 (the upper 4 bits of a FAT32 entry are reserved).
uint32_t bits_per_entry(FatKind kind);

// Cluster-count limits of the FAT types: a FAT12 volume has fewer than kMinFat16Clusters data
// clusters, a FAT16 volume fewer than kMinFat32Clusters.
constexpr uint32_t kMinFat16Clusters = 4085;
constexpr uint32_t kMinFat32Clusters = 65525;

// Size of one directory entry, and the most entries a directory may hold.
constexpr uint32_t kDirEntryBytes = 32;
constexpr uint32_t kMaxDirEntries = 65536;

// The decoded boot sector and the layout that follows from it. Sector numbers here are in the
// volume's own sectors unless the name says 512.
struct Geometry {
  uint32_t bytes_per_sector = 0;
  uint32_t sectors_per_cluster = 0;
  uint32_t reserved_sectors = 0;
  uint32_t fat_count = 0;
  uint32_t fat_sectors = 0;       // sectors of one FAT
  uint32_t root_entries = 0;      // FAT12/16 fixed root directory; 0 on FAT32
  uint32_t root_dir_sectors = 0;  // sectors of the fixed root directory
  uint32_t root_cluster = 0;      // FAT32 root directory's first cluster; 0 on FAT12/16
  uint64_t total_sectors = 0;     // of the volume
  uint64_t first_data_sector = 0; // cluster 2 starts here
  uint32_t cluster_count = 0;     // data clusters, numbered 2 .. cluster_count + 1
  FatKind kind = FatKind::kFat12;
  std::string boot_label;  // label from the extended boot record, trimmed; empty when none

  uint32_t units_per_sector() const { return bytes_per_sector / kSectorSize; }
  uint64_t cluster_bytes() const { return uint64_t{bytes_per_sector} * sectors_per_cluster; }
  uint64_t sectors512_per_cluster() const { return uint64_t{sectors_per_cluster} * units_per_sector(); }
  uint64_t volume_bytes() const { return total_sectors * bytes_per_sector; }
  uint64_t volume_sectors512() const { return total_sectors * units_per_sector(); }
  // Reserved sectors, FATs and the fixed root directory: everything before cluster 2.
  uint64_t metadata_sectors512() const { return first_data_sector * units_per_sector(); }
  uint64_t root_dir_first_sector() const { return reserved_sectors + uint64_t{fat_count} * fat_sectors; }
  bool valid_cluster(uint64_t cluster) const { return cluster >= 2 && cluster < uint64_t{cluster_count} + 2; }
  // First 512-byte sector of a valid cluster.
  uint64_t cluster_sector512(uint32_t cluster) const {
    return (first_data_sector + uint64_t{cluster - 2} * sectors_per_cluster) * units_per_sector();
  }
};

// Decodes and validates a boot sector (at least its first 512 bytes). Corruption when it is not
// a FAT boot sector or its fields contradict each other (the FAT too small for the clusters, the
// data area outside the volume, a FAT32 root cluster out of range, ...).
Status decode_boot_sector(std::span<const uint8_t> sector, Geometry* out);

// One directory entry as the lookup sees it.
struct DirEntry {
  std::string long_name;   // UTF-8, empty when the entry has no valid long name
  std::string short_name;  // "NAME.EXT" as stored (OEM bytes), without padding
  uint8_t attributes = 0;
  uint32_t first_cluster = 0;  // 0 for an empty file
  uint32_t size_bytes = 0;

  bool is_directory() const { return (attributes & 0x10) != 0; }
};

// A run of consecutive clusters.
struct ClusterRun {
  uint32_t first_cluster = 0;
  uint32_t count = 0;
};

// A FAT volume on a partition. The partition must stay open for reading while the volume is
// used (see PartitionReadScope). Not safe for concurrent use.
class Volume {
 public:
  // Reads and validates the boot sector. Corruption also when the volume is larger than its
  // partition (a truncated partition): its clusters could not all be read.
  static Status open(BACKUP_PARTITION_INFO* part, std::unique_ptr<Volume>* out);

  const Geometry& geometry() const { return geo_; }

  // Decoded FAT entry of a data cluster (upper 4 bits of FAT32 entries dropped).
  Status fat_entry(uint32_t cluster, uint32_t* value);

  // Calls `run` for every maximal run of used clusters in ascending order and returns the
  // number of used clusters and the highest used cluster (0 when none). A used cluster has a
  // nonzero entry that is not the bad-cluster mark; bad clusters hold no data and are left out.
  // Corruption when an entry is neither free, bad, end of chain nor a valid cluster number.
  // The FAT is read in chunks; nothing per cluster is kept.
  Status scan_used_clusters(const std::function<Status(const ClusterRun&)>& run, uint64_t* used_clusters,
                            uint32_t* last_used_cluster);

  // Follows the chain from `first_cluster` to its end and returns the runs of its first
  // `wanted_clusters` clusters. Corruption for a loop, a cluster out of range, a free or bad
  // cluster inside the chain, or a chain shorter than `wanted_clusters`.
  Status chain_runs(uint32_t first_cluster, uint64_t wanted_clusters, std::vector<ClusterRun>* runs);

  // Entries of the root directory (first_cluster 0) or of the directory starting at
  // `first_cluster`: files and directories only (no volume label, no "." and ".."), in order.
  Status read_directory(uint32_t first_cluster, std::vector<DirEntry>* entries);

  // Finds a '/'-separated path from the root ("/dir/file.txt"); components match long or
  // short names without regard to case. *found is false when some component does not exist or
  // a component before the last is not a directory. The root itself ("/") is found as a
  // directory with first_cluster 0.
  Status find(std::string_view path, DirEntry* entry, bool* found);

  // The label: the root directory's volume-label entry, else the boot sector's label; "NO NAME"
  // counts as none. Bytes outside ASCII show as '?' (the code page is not recorded).
  std::string label();

 private:
  explicit Volume(BACKUP_PARTITION_INFO* part, const Geometry& geo) : part_(part), geo_(geo) {}
  Status read_bytes(uint64_t byte_offset, size_t bytes, uint8_t* out);
  Status load_fat_window(uint64_t byte_offset);
  Status read_root_region(std::vector<uint8_t>* raw);
  // Walks a chain to its end, keeping the runs of its first `keep_clusters` clusters; corruption
  // for a loop, a broken link or more than `max_clusters` clusters.
  Status walk_chain(uint32_t first_cluster, uint64_t keep_clusters, uint64_t max_clusters,
                    std::vector<ClusterRun>* runs, uint64_t* length);
  // The clusters of a directory chain of at most `max_bytes` (longer is corruption).
  Status read_chain_bytes(uint32_t first_cluster, uint64_t max_bytes, std::vector<uint8_t>* raw);

  BACKUP_PARTITION_INFO* part_;
  Geometry geo_;
  // Cached part of the first FAT: bytes [fat_window_offset_, + fat_window_.size()) of the FAT.
  std::vector<uint8_t> fat_window_;
  uint64_t fat_window_offset_ = 0;
  bool fat_window_valid_ = false;
};

// Case folding of the names' UTF-16 units for comparison (ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic): the file system compares names in upper case.
char16_t fold_name_unit(char16_t unit);

}  // namespace tav::disk::fat
