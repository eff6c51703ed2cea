// Placeholder until the writer lands.
#include "engine/image_writer.h"

namespace tav::engine {

struct ImageWriter::State {
  img::EGO_IMAGE_HEADER header;
};

ImageWriter::ImageWriter() : state_(std::make_unique<State>()) {}
ImageWriter::~ImageWriter() = default;
Status ImageWriter::begin(const ImageWriterRequest&) { return Status::not_supported("image writer"); }
Status ImageWriter::start_segment(BACKUP_PARTITION_INFO*) { return Status::not_supported("image writer"); }
Status ImageWriter::write_unit(std::span<const uint8_t>) { return Status::not_supported("image writer"); }
Status ImageWriter::write_run_table(BACKUP_PARTITION_INFO*, std::span<const FLAT_RUN>) {
  return Status::not_supported("image writer");
}
Status ImageWriter::close_segment(BACKUP_PARTITION_INFO*) { return Status::not_supported("image writer"); }
Status ImageWriter::finish() { return Status::not_supported("image writer"); }
void ImageWriter::abort() {}
const img::EGO_IMAGE_HEADER& ImageWriter::header() const { return state_->header; }
uint32_t ImageWriter::first_vol() const { return 0; }
uint32_t ImageWriter::current_vol() const { return 0; }
bool ImageWriter::begun() const { return false; }

}  // namespace tav::engine
