// Placeholder until the worker threads land.
#include "engine/backup_worker.h"

namespace tav::engine {

struct BackupWorker::State {
  WorkerSizing sizing;
};

WorkerSizing size_worker(uint32_t, uint64_t, const AdjustmentSettings&) { return {}; }
size_t write_buffer_bytes_for(uint32_t depth) { return size_t{depth / 2} * kPackageBytes; }
BackupWorker::BackupWorker() : state_(std::make_unique<State>()) {}
BackupWorker::~BackupWorker() = default;
Status BackupWorker::init(const WorkerSizing& sizing, THREAD_GUI_DATA*, img::CompressMode, img::FormatVersion) {
  state_->sizing = sizing;
  return Status::ok();
}
void BackupWorker::reset() {}
bool BackupWorker::run(const PartitionWork&, ImageWriter*) { return false; }
void BackupWorker::release() {}
const WorkerSizing& BackupWorker::sizing() const { return state_->sizing; }

}  // namespace tav::engine
