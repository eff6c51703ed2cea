// Reporting, errno and volume access shared by the snapshot sector reader's steps.
#include <cerrno>
#include <cstdarg>

#include "core/format_va.h"
#include "core/last_error.h"
#include "core/trace.h"
#include "format/image_name.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/reader_internal.h"

namespace tav::img {

std::string reader_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_va(format, args);
  va_end(args);
  return text;
}

Status reader_fail(const char* file, int line, const char* function, StatusCode code, const std::string& text) {
  // The user's Abort is a result, not an error to show again.
  if (code == StatusCode::kCancelled) {
    TavTrace(kTraceWarn, 0, function, file, line, "%s", text.c_str());
  } else {
    image_report().report_text(source_file_name(file), line, function, true, kIconError, text.c_str());
  }
  switch (code) {
    case StatusCode::kOk:
    case StatusCode::kCorruption: return Status::corruption(text);
    case StatusCode::kIoError: return Status::io_error(text);
    case StatusCode::kInvalidArgument: return Status::invalid_argument(text);
    case StatusCode::kNotSupported: return Status::not_supported(text);
    case StatusCode::kNotFound: return Status::not_found(text);
    case StatusCode::kOutOfMemory: return Status::out_of_memory(text);
    case StatusCode::kCancelled: return Status::cancelled(text);
  }
  return Status::io_error(text);
}

void set_reader_errno(const Status& status) {
  const int code = status_errno(status, EIO);
  set_last_error(uint32_t(code));
  errno = code;
}

STORAGE_DATA* storage_of(const BACKUP_PARTITION_INFO* part) {
  const IMAGE_PART_DATA* pd = image_part_data(part);
  if (pd == nullptr || pd->psnap == nullptr) return nullptr;
  return pd->psnap->pstorage;
}

std::string volume_file_name(const STORAGE_DATA* storage, int64_t vol) {
  if (storage == nullptr || vol < 0 || vol > INT32_MAX) return "?";
  return image_volume_name(storage->directory, storage->base_name, int(vol)).value_or("?");
}

Status open_volume(STORAGE_DATA* storage, int64_t vol, const char* step, IMAGE_FILE_DATA** file) {
  if (vol < 0 || vol > INT32_MAX) {
    return TAV_READER_FAIL(kCorruption, "%s: volume number %lld out of range", step, static_cast<long long>(vol));
  }
  errno = 0;
  if (image_open_image_file(storage, int32_t(vol)) < 0 || storage->cur_file == nullptr ||
      storage->cur_file->fd < 0) {
    const int err = errno;
    const std::string name = volume_file_name(storage, vol);
    if (err == ENOENT) {
      return TAV_READER_FAIL(kNotFound, "%s: image_open_image_file failed!! Volume %s is missing", step, name.c_str());
    }
    if (err == EUCLEAN) {
      return TAV_READER_FAIL(kCorruption, "%s: image_open_image_file failed!! Volume %s is damaged", step, name.c_str());
    }
    return TAV_READER_FAIL(kIoError, "%s: image_open_image_file failed!! Cannot open volume %s", step, name.c_str());
  }
  *file = storage->cur_file;
  return Status::ok();
}

}  // namespace tav::img
