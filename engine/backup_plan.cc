// Building a partition's backup plan.
#include "engine/backup_plan.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "image/image_reader.h"
#include "core/extent_set_ops.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"

namespace tav::engine {

namespace {

struct FlatVectorRelease {
  void operator()(FLAT_RUN_VECTOR* v) const { libtavpub_release_flat_run_vector(v); }
};
using FlatVectorPtr = std::unique_ptr<FLAT_RUN_VECTOR, FlatVectorRelease>;

std::string part_name(const BACKUP_PARTITION_INFO* part) { return tav_get_partition_dev_name(part); }

// Every sector of the partition, for a handler that cannot tell which are used.
RunVectorPtr whole_partition(const BACKUP_PARTITION_INFO* part) {
  RunVectorPtr v(libtavpub_create_empty_image_run_vector());
  if (!v || part->sector_count == 0) return v;
  IMAGE_RUN run{{0, uint32_t(part->sector_count)}, RUN_TYPE_DATA, 0};
  if (libtavpub_append_image_run(v.get(), &run) == 0) return nullptr;
  return v;
}

// The excluded files' sectors as one sorted, merged vector. File runs come in file order, so
// each run is inserted where it belongs. A file whose runs cannot be listed is not excluded:
// storing a few sectors too many is harmless.
RunVectorPtr excluded_runs(BACKUP_PARTITION_INFO* part) {
  RunVectorPtr set(libtavpub_create_empty_image_run_vector());
  if (!set || part->ops_fs == nullptr || part->ops_fs->get_file_runs == nullptr) return set;
  for (const char* path : kExcludedFiles) {
    FlatVectorPtr file(part->ops_fs->get_file_runs(part, path));
    if (!file) continue;
    for (uint32_t i = 0; i < file->run_count; ++i) {
      const FLAT_RUN& r = file->runs[i];
      if (flat_run_sectors(r) == 0 || flat_run_is_minus(r)) continue;
      IMAGE_RUN run{{r.Begin, flat_run_sectors(r)}, RUN_TYPE_DATA, 0};
      int hint = 0;
      if (libtavpub_addrun_to_vector(set.get(), &run, &hint) == 0) return nullptr;
    }
  }
  return set;
}

}  // namespace

uint64_t plan_sectors(const IMAGE_RUN_VECTOR* v) {
  uint64_t total = 0;
  if (v == nullptr) return 0;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    if (v->runs[i] != nullptr && v->runs[i]->type != RUN_TYPE_MINUS) total += v->runs[i]->value.Number;
  }
  return total;
}

Status used_runs_to_store(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part, RunVectorPtr* runs,
                          uint64_t* excluded_sectors) {
  *excluded_sectors = 0;
  RunVectorPtr listed;
  if (part->ops_fs != nullptr && part->ops_fs->get_used_runs != nullptr) {
    errno = 0;
    listed.reset(part->ops_fs->get_used_runs(channel, part));
    if (!listed) {
      const int err = errno;
      return Status::io_error("cannot list the used sectors of " + part_name(part) +
                              (err != 0 ? std::string(": ") + std::strerror(err) : std::string()));
    }
  } else {
    listed = whole_partition(part);
    if (!listed) return Status::out_of_memory("no memory for the runs of " + part_name(part));
  }
  // Through the stored form and back: data runs of snapshot 0, none longer than a flat run.
  FlatVectorPtr flat(libtavpub_run_image_to_flat(listed.get()));
  RunVectorPtr used(flat ? libtavpub_run_flat_to_image(flat.get(), 0) : nullptr);
  if (!used) return Status::out_of_memory("no memory for the runs of " + part_name(part));
  uint64_t previous_end = 0;
  for (uint32_t i = 0; i < used->run_count; ++i) {
    const IMAGE_RUN& r = *used->runs[i];
    if (r.value.Begin < previous_end || run_end(r) > part->sector_count) {
      return Status::corruption("the file system of " + part_name(part) +
                                " lists used sectors out of order or beyond the partition");
    }
    previous_end = run_end(r);
  }

  const uint64_t before = plan_sectors(used.get());
  RunVectorPtr excluded = excluded_runs(part);
  if (excluded && excluded->run_count != 0) {
    RunVectorPtr kept(libtavpub_copy_image_run_vector(used.get()));
    // minus_vector leaves both unchanged when it fails; the unreduced runs are kept then.
    if (kept && libtavpub_minus_vector(kept.get(), excluded.get()) != 0) used = std::move(kept);
  }
  const uint64_t after = plan_sectors(used.get());
  *excluded_sectors = before > after ? before - after : 0;
  *runs = std::move(used);
  return Status::ok();
}

double progress_ratio(uint64_t used_sectors, const IMAGE_RUN_VECTOR* plan) {
  const uint64_t visited = plan_sectors(plan);
  if (visited == 0 || used_sectors <= visited) return 1.0;
  return double(used_sectors) / double(visited);
}

Status build_plan(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part, BACKUP_PARTITION_INFO* parent,
                  BackupPlan* out) {
  *out = BackupPlan{};
  RunVectorPtr used;
  Status st = used_runs_to_store(channel, part, &used, &out->excluded_sectors);
  if (!st) return st;
  out->stored.reset(libtavpub_create_empty_image_run_vector());
  if (!out->stored) return Status::out_of_memory("no memory for the stored runs");

  if (parent != nullptr) {
    const bool opened = parent->ops != nullptr && parent->ops->open != nullptr && parent->ops->open(parent, disk::kOpenRead) >= 0;
    const IMAGE_RUN_VECTOR* parent_runs = opened ? libtavimg_get_part_run_vector(parent) : nullptr;
    RunVectorPtr parent_copy(parent_runs != nullptr ? libtavpub_copy_image_run_vector(parent_runs) : nullptr);
    RunVectorPtr used_copy(parent_copy ? libtavpub_copy_image_run_vector(used.get()) : nullptr);
    if (used_copy) out->plan.reset(libtavpub_diff_vector(parent_copy.get(), used_copy.get()));
    if (out->plan) {
      out->parent = parent;
    } else {
      if (opened && parent->ops->close != nullptr) parent->ops->close(parent);
      out->parent_unusable = true;
    }
  }
  if (!out->plan) {
    if (libtavpub_set_multi_image_run_type(used->runs, used->run_count, RUN_TYPE_ADDED) == 0 && used->run_count != 0) {
      return Status::out_of_memory("no memory for the plan");
    }
    out->plan = std::move(used);
  }
  out->ratio = progress_ratio(disk::part_used_sectors(*part), out->plan.get());
  return Status::ok();
}

bool flat_runs_of(const IMAGE_RUN_VECTOR* v, std::vector<FLAT_RUN>* out) {
  FlatVectorPtr flat(libtavpub_run_image_to_flat(v));
  if (!flat) return false;
  out->assign(flat->runs, flat->runs + flat->run_count);
  return true;
}

}  // namespace tav::engine
