// The mount daemon's two devices: request dispatch (control codes answered at once, the rest
// queued), one worker per device serving its queue in order, and the mount and unmount of the
// daemon-wide image partition.
#include "daemons/tavmount/mount_daemon.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "core/byte_order.h"
#include "core/run_pool.h"
#include "core/sector.h"
#include "core/text_convert.h"
#include "daemons/tavmount/mount_file_layer.h"
#include "daemons/tavmount/mount_image.h"
#include "daemons/tavmount/mount_report.h"
#include "image/image_catalogue.h"

namespace tav::mount {
namespace {

namespace ml = mount_layout;

constexpr uint32_t kDeviceCount = 2;
constexpr uint32_t kDiskDevice = 1;
// The largest read served in one request; FUSE asks for far less. Larger ones get the status of
// a buffer that cannot be allocated.
constexpr uint32_t kMaxReadBytes = 32u << 20;

// Reply sizes of the disk control codes (the layouts of the disk structures they fill).
constexpr uint32_t kGeometryBytes = 24;
constexpr uint32_t kPartitionInfoBytes = 32;
constexpr uint32_t kPartitionInfoExBytes = 144;
constexpr uint32_t kLengthInfoBytes = 8;
constexpr uint32_t kVerifyInputBytes = 16;
constexpr uint32_t kCountBytes = 4;
// PART_QUERY needs room for the header and the first two path bytes.
constexpr uint32_t kQueryMinimumBytes = 36;

constexpr uint32_t kRemovableMedia = 11;

Reply status_reply(uint32_t status, uint64_t information = 0) {
  Reply r;
  r.status = status;
  r.information = information;
  return r;
}

Reply data_reply(std::vector<uint8_t> out) {
  Reply r;
  r.information = out.size();
  r.out = std::move(out);
  return r;
}

Reply u32_reply(uint32_t value) {
  std::vector<uint8_t> out(kCountBytes);
  put_le32(out.data(), value);
  return data_reply(std::move(out));
}

// A UTF-16LE counted string as the loader's UTF-8 text. A folder given the kernel way, "\??\"
// before the path, loses that prefix.
std::string path_text(const std::vector<uint8_t>& utf16le) {
  std::string text = utf16le_bytes_to_utf8(std::span<const unsigned char>(utf16le.data(), utf16le.size()));
  if (text.rfind("\\??\\", 0) == 0) text.erase(0, 4);
  return text;
}

// Per device: what the device holds of a mount (the extension's fields).
struct Extension {
  bool mounted = false;
  std::vector<uint8_t> image_dir;   // UTF-16LE as requested, no terminator
  std::vector<uint8_t> image_name;  // the same
  char16_t drive_letter = 0;
  uint32_t snap_seq = 0;
  int64_t snap_time = 0;
  uint32_t signature = 0;
  uint32_t min_seq = 0;
  uint32_t max_seq = 0;
  bool read_only = false;
  int references = 0;

  void forget_strings() {
    std::vector<uint8_t>().swap(image_dir);
    std::vector<uint8_t>().swap(image_name);
  }
};

struct Request {
  enum class Kind { kRead, kWrite, kOpen, kClose } kind = Kind::kRead;
  uint64_t offset = 0;
  uint32_t length = 0;
  std::vector<uint8_t> input;  // open and close: the request's record bytes
  FileCredentials client;      // open: the caller, captured at dispatch
  std::promise<Reply> done;
};

struct Device {
  Extension ext;  // guarded by State::mutex
  std::mutex queue_mutex;
  std::condition_variable event;
  std::deque<Request*> queue;  // guarded by queue_mutex; the callers own the requests
  bool terminate = false;      // guarded by queue_mutex
  std::thread worker;
};

}  // namespace

// Lock order: image_mutex -> mutex -> a device's queue_mutex.
struct MountDaemon::State {
  std::array<Device, kDeviceCount> devices;

  // The image code's state: one loaded volume set and the partition being served. Every call
  // into the image code holds image_mutex, so reads of both devices are served one at a time.
  std::mutex image_mutex;
  STORAGE_DATA storage;                         // guarded by image_mutex
  BACKUP_PARTITION_INFO* mounted_part = nullptr;  // written under both locks

  // What dispatch answers from without touching the image code.
  mutable std::mutex mutex;
  bool media_present = false;  // true exactly while mounted_part is set
  uint64_t sectors = 0;
  uint8_t part_type = 0;
  uint32_t alignment = 1;
  uint32_t mount_count = 0;
  int holder = -1;  // device whose extension holds the mount

  Reply queue_and_wait(uint32_t device, Request* request);
  void worker_loop(uint32_t device);
  Reply serve(uint32_t device, Request* request);
  Reply serve_read(const Request& request);
  Reply serve_open(uint32_t device, const Request& request);
  Reply serve_close(uint32_t device, const Request& request);
  // Ends the mount held (image_mutex held): ends the partition, unloads, clears the state.
  void drop_mount();
  Reply record_reply(const std::vector<uint8_t>& input, uint32_t error, const std::string& message);
  Reply disk_control(uint32_t device, uint32_t code, std::span<const uint8_t> in, uint32_t out_length);
};

MountDaemon::MountDaemon() : state_(std::make_unique<State>()) {
  bind_image_reports();
  state_->storage.open_volume = open_volume_as_client;
  state_->devices[0].ext.read_only = true;
  for (uint32_t i = 0; i < kDeviceCount; ++i) {
    state_->devices[i].worker = std::thread([this, i] { state_->worker_loop(i); });
  }
}

MountDaemon::~MountDaemon() {
  for (Device& d : state_->devices) {
    {
      std::lock_guard<std::mutex> lock(d.queue_mutex);
      d.terminate = true;
    }
    d.event.notify_all();
    if (d.worker.joinable()) d.worker.join();
    // Requests still queued get an answer: their callers are waiting on them.
    std::lock_guard<std::mutex> lock(d.queue_mutex);
    for (Request* r : d.queue) r->done.set_value(status_reply(STATUS_INVALID_DEVICE_STATE));
    d.queue.clear();
  }
  std::lock_guard<std::mutex> image_lock(state_->image_mutex);
  state_->drop_mount();
  libtavimg_unload_image(&state_->storage);
}

Reply MountDaemon::State::queue_and_wait(uint32_t device, Request* request) {
  std::future<Reply> reply = request->done.get_future();
  Device& d = devices[device];
  {
    std::lock_guard<std::mutex> lock(d.queue_mutex);
    if (d.terminate) return status_reply(STATUS_INVALID_DEVICE_STATE);
    d.queue.push_back(request);
  }
  d.event.notify_one();
  return reply.get();
}

void MountDaemon::State::worker_loop(uint32_t device) {
  Device& d = devices[device];
  for (;;) {
    Request* request = nullptr;
    {
      std::unique_lock<std::mutex> lock(d.queue_mutex);
      d.event.wait(lock, [&] { return d.terminate || !d.queue.empty(); });
      if (d.terminate) return;
      request = d.queue.front();
      d.queue.pop_front();
    }
    Reply reply;
    try {
      reply = serve(device, request);
    } catch (const std::bad_alloc&) {
      reply = status_reply(STATUS_INSUFFICIENT_RESOURCES);
    } catch (...) {
      reply = status_reply(STATUS_UNSUCCESSFUL);
    }
    request->done.set_value(std::move(reply));
  }
}

Reply MountDaemon::State::serve(uint32_t device, Request* request) {
  switch (request->kind) {
    case Request::Kind::kRead: return serve_read(*request);
    case Request::Kind::kWrite: {
      std::lock_guard<std::mutex> lock(mutex);
      if (devices[device].ext.read_only) return status_reply(STATUS_MEDIA_WRITE_PROTECTED);
      return status_reply(STATUS_SUCCESS, request->length);  // nothing is stored
    }
    case Request::Kind::kOpen: return serve_open(device, *request);
    case Request::Kind::kClose: return serve_close(device, *request);
  }
  return status_reply(STATUS_INVALID_DEVICE_STATE);
}

Reply MountDaemon::State::serve_read(const Request& request) {
  if (request.length > kMaxReadBytes) return status_reply(STATUS_INSUFFICIENT_RESOURCES);
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(request.length);
  } catch (const std::bad_alloc&) {
    return status_reply(STATUS_INSUFFICIENT_RESOURCES);
  }
  std::lock_guard<std::mutex> image_lock(image_mutex);
  // The mount may have ended between dispatch and now.
  if (mounted_part == nullptr) return status_reply(STATUS_NO_MEDIA_IN_DEVICE);
  const uint32_t got = mount_read(mounted_part, request.offset, request.length, buffer.data());
  if (got != request.length) return status_reply(STATUS_UNSUCCESSFUL);
  return data_reply(std::move(buffer));
}

void MountDaemon::State::drop_mount() {
  if (mounted_part == nullptr) return;
  umount_part(mounted_part);
  libtavimg_unload_image(&storage);
  std::lock_guard<std::mutex> lock(mutex);
  mounted_part = nullptr;
  media_present = false;
  sectors = 0;
  part_type = 0;
  if (mount_count > 0) --mount_count;
  if (holder >= 0) devices[size_t(holder)].ext.mounted = false;
  holder = -1;
}

Reply MountDaemon::State::record_reply(const std::vector<uint8_t>& input, uint32_t error,
                                       const std::string& message) {
  MountInfoBytes bytes{};
  std::copy_n(input.begin(), std::min(input.size(), bytes.size()), bytes.begin());
  put_le32(bytes.data() + ml::kError, error);
  // The message's first kReplyMessageChars UTF-16 units (a pair is not split), terminated.
  std::u16string units = utf8_to_utf16(message);
  size_t keep = std::min(units.size(), kReplyMessageChars);
  if (keep > 0 && keep < units.size() && units[keep - 1] >= 0xD800 && units[keep - 1] <= 0xDBFF) --keep;
  std::fill(bytes.begin() + ml::kPath, bytes.end(), uint8_t(0));
  for (size_t i = 0; i < keep; ++i) put_le16(bytes.data() + ml::kPath + 2 * i, uint16_t(units[i]));
  return data_reply(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

Reply MountDaemon::State::serve_open(uint32_t device, const Request& request) {
  std::lock_guard<std::mutex> image_lock(image_mutex);
  // A second open replaces the first mount.
  drop_mount();

  MountInfoBytes bytes{};
  std::copy_n(request.input.begin(), std::min(request.input.size(), bytes.size()), bytes.begin());
  const MountInformation info = decode_mount_info(bytes);
  const auto strings = request.input.begin() + ml::kPath;
  std::vector<uint8_t> dir(strings, strings + info.dir_bytes);
  std::vector<uint8_t> name(strings + info.dir_bytes, strings + info.dir_bytes + info.name_bytes);
  const std::string folder = path_text(dir);
  const std::string base_name = path_text(name);
  {
    std::lock_guard<std::mutex> lock(mutex);
    Extension& ext = devices[device].ext;
    ext.drive_letter = info.drive_letter;
    ext.snap_seq = info.snap_seq;
    ext.snap_time = info.snap_time;
    ext.signature = info.signature;
    ext.min_seq = info.min_seq;
    ext.max_seq = info.max_seq;
    ext.image_dir = std::move(dir);
    ext.image_name = std::move(name);
  }

  set_volume_credentials(request.client);
  BACKUP_PARTITION_INFO* part = nullptr;
  bool ok = tav_load_image3(&storage, folder.c_str(), base_name.c_str(), info.min_seq, info.max_seq) == 0;
  if (ok) {
    part = get_mounting_part(&storage, info.snap_seq, info.snap_time, info.signature);
    ok = part != nullptr && mount_part(part) == 0;
  }
  // Any failure reported on the way undoes the mount, so that a nonzero `error` in the reply
  // always means nothing is mounted.
  if (ok && mount_error_flag() != 0) ok = false;
  if (ok) {
    const uint32_t align = mount_get_alignment(&storage);
    const uint64_t length = mount_get_part_length(part);
    const uint8_t type = mount_get_part_type(part);
    std::lock_guard<std::mutex> lock(mutex);
    mounted_part = part;
    media_present = true;
    sectors = length;
    part_type = type;
    alignment = align;
    devices[device].ext.mounted = true;
    holder = int(device);
    ++mount_count;
  } else {
    if (part != nullptr) umount_part(part);
    libtavimg_unload_image(&storage);
    std::lock_guard<std::mutex> lock(mutex);
    devices[device].ext.forget_strings();
  }
  return record_reply(request.input, uint32_t(mount_error_flag()), mount_message());
}

Reply MountDaemon::State::serve_close(uint32_t device, const Request& request) {
  std::lock_guard<std::mutex> image_lock(image_mutex);
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (int i : {int(device), holder}) {
      if (i < 0) continue;
      Extension& ext = devices[size_t(i)].ext;
      ext.drive_letter = 0;
      ext.forget_strings();
    }
  }
  clear_mount_error();
  if (mounted_part == nullptr) umount_part(nullptr);  // reports that nothing was mounted
  drop_mount();
  libtavimg_unload_image(&storage);
  libtavpub_run_uninit();  // no run is held once the image is unloaded
  char leaks[kReplyMessageChars + 1] = {};
  if (mount_leak_report(leaks, sizeof leaks) != 0) return record_reply(request.input, 4, leaks);
  return record_reply(request.input, uint32_t(mount_error_flag()), mount_message());
}

Reply MountDaemon::State::disk_control(uint32_t device, uint32_t code, std::span<const uint8_t> in,
                                       uint32_t out_length) {
  std::unique_lock<std::mutex> lock(mutex);
  const uint64_t length_bytes = sectors * kSectorSize;
  const bool read_only = devices[device].ext.read_only;
  const auto need = [&](uint32_t bytes) { return out_length >= bytes; };
  switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY: {
      if (!need(kGeometryBytes)) return status_reply(STATUS_BUFFER_TOO_SMALL);
      std::vector<uint8_t> out(kGeometryBytes);
      put_le64(&out[0], sectors / 64);  // cylinders of 2 tracks of 32 sectors
      put_le32(&out[8], kRemovableMedia);
      put_le32(&out[12], 2);
      put_le32(&out[16], 32);
      put_le32(&out[20], kSectorSize);
      return data_reply(std::move(out));
    }
    case IOCTL_DISK_GET_PARTITION_INFO: {
      if (!need(kPartitionInfoBytes)) return status_reply(STATUS_BUFFER_TOO_SMALL);
      std::vector<uint8_t> out(kPartitionInfoBytes);
      put_le64(&out[0], kSectorSize);  // starting offset
      put_le64(&out[8], length_bytes);
      put_le32(&out[16], 1);  // hidden sectors
      put_le32(&out[20], 1);  // partition number
      out[24] = part_type;
      out[25] = 0;  // not bootable
      out[26] = 1;  // recognized
      out[27] = 0;  // no rewrite
      return data_reply(std::move(out));
    }
    case IOCTL_DISK_GET_PARTITION_INFO_EX: {
      if (!need(kPartitionInfoExBytes)) return status_reply(STATUS_BUFFER_TOO_SMALL);
      std::vector<uint8_t> out(kPartitionInfoExBytes);
      put_le32(&out[0], 0);  // MBR style
      put_le64(&out[8], kSectorSize);
      put_le64(&out[16], length_bytes);
      put_le32(&out[24], 1);  // partition number
      out[28] = 0;            // no rewrite
      out[32] = part_type;
      out[33] = 0;  // not bootable
      out[34] = 1;  // recognized
      put_le32(&out[36], 1);  // hidden sectors
      return data_reply(std::move(out));
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
      if (!need(kLengthInfoBytes)) return status_reply(STATUS_BUFFER_TOO_SMALL);
      std::vector<uint8_t> out(kLengthInfoBytes);
      put_le64(out.data(), length_bytes);
      return data_reply(std::move(out));
    }
    case IOCTL_DISK_VERIFY:
      if (in.size() < kVerifyInputBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
      return status_reply(STATUS_SUCCESS, get_le32(in.data() + 8));
    case IOCTL_DISK_IS_WRITABLE:
      return status_reply(read_only ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS);
    case IOCTL_DISK_SET_PARTITION_INFO:
      if (read_only) return status_reply(STATUS_MEDIA_WRITE_PROTECTED);
      if (in.empty()) return status_reply(STATUS_INVALID_PARAMETER);
      return status_reply(STATUS_SUCCESS);
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
      return status_reply(STATUS_SUCCESS);
    default:
      return status_reply(STATUS_INVALID_DEVICE_REQUEST);
  }
}

Reply MountDaemon::control(uint32_t device, uint32_t code, std::span<const uint8_t> in, uint32_t out_length,
                           const Caller& caller) {
  try {
    if (device >= kDeviceCount) return status_reply(STATUS_INVALID_DEVICE_REQUEST);
    State& s = *state_;
    const bool without_media_too = code == IOCTL_TAV_PART_OPEN || code == IOCTL_TAV_GET_VERSION ||
                                   code == IOCTL_TAV_GET_REF_COUNTS || code == IOCTL_TAV_GET_MOUNT_COUNT;
    if (!without_media_too && !media_present()) return status_reply(STATUS_NO_MEDIA_IN_DEVICE);

    switch (code) {
      case IOCTL_TAV_PART_OPEN: {
        if (in.size() <= kMountInfoHeaderBytes + 1) return status_reply(STATUS_INVALID_PARAMETER);
        const size_t dir_bytes = get_le16(in.data() + ml::kDirBytes);
        const size_t name_bytes = get_le16(in.data() + ml::kNameBytes);
        if (kMountInfoHeaderBytes + dir_bytes + name_bytes > in.size()) return status_reply(STATUS_INVALID_PARAMETER);
        // The strings are UTF-16: an odd length cannot be one.
        if (dir_bytes % 2 != 0 || name_bytes % 2 != 0) return status_reply(STATUS_INVALID_PARAMETER);
        // The reply is a whole record.
        if (out_length < kMountInfoBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
        Request request;
        request.kind = Request::Kind::kOpen;
        request.input.assign(in.begin(), in.end());
        request.client = credentials_of(caller.uid, caller.gid);
        return s.queue_and_wait(device, &request);
      }
      case IOCTL_TAV_PART_CLOSE: {
        if (out_length < kMountInfoBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
        Request request;
        request.kind = Request::Kind::kClose;
        request.input.assign(in.begin(), in.end());
        return s.queue_and_wait(device, &request);
      }
      case IOCTL_TAV_PART_QUERY: {
        if (out_length < kQueryMinimumBytes) return status_reply(STATUS_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(s.mutex);
        const Extension& ext = s.devices[device].ext;
        const size_t need = kMountInfoHeaderBytes + ext.image_dir.size() + ext.image_name.size();
        if (out_length < need) return status_reply(STATUS_BUFFER_TOO_SMALL);
        std::vector<uint8_t> out(need);
        put_le16(&out[ml::kDriveLetter], uint16_t(ext.drive_letter));
        put_le16(&out[ml::kDirBytes], uint16_t(ext.image_dir.size()));
        put_le16(&out[ml::kNameBytes], uint16_t(ext.image_name.size()));
        std::copy(ext.image_dir.begin(), ext.image_dir.end(), out.begin() + ml::kPath);
        std::copy(ext.image_name.begin(), ext.image_name.end(),
                  out.begin() + std::ptrdiff_t(ml::kPath + ext.image_dir.size()));
        return data_reply(std::move(out));
      }
      case IOCTL_TAV_GET_VERSION:
        if (out_length < kCountBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
        return u32_reply(kInterfaceVersion);
      case IOCTL_TAV_GET_REF_COUNTS: {
        if (out_length < kCountBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto clamp = [](int n) { return uint32_t(std::clamp(n, 0, 0xFFFF)); };
        return u32_reply(clamp(s.devices[kDiskDevice].ext.references) << 16 | clamp(s.devices[device].ext.references));
      }
      case IOCTL_TAV_GET_MOUNT_COUNT: {
        if (out_length < kCountBytes) return status_reply(STATUS_BUFFER_TOO_SMALL);
        std::lock_guard<std::mutex> lock(s.mutex);
        return u32_reply(s.mount_count);
      }
      default:
        return s.disk_control(device, code, in, out_length);
    }
  } catch (const std::bad_alloc&) {
    return status_reply(STATUS_INSUFFICIENT_RESOURCES);
  } catch (...) {
    return status_reply(STATUS_UNSUCCESSFUL);
  }
}

Reply MountDaemon::read(uint32_t device, uint64_t offset, uint32_t length) {
  if (device >= kDeviceCount) return status_reply(STATUS_INVALID_DEVICE_REQUEST);
  if (!media_present()) return status_reply(STATUS_NO_MEDIA_IN_DEVICE);
  if (length == 0) return status_reply(STATUS_SUCCESS);
  Request request;
  request.kind = Request::Kind::kRead;
  request.offset = offset;
  request.length = length;
  return state_->queue_and_wait(device, &request);
}

Reply MountDaemon::write(uint32_t device, uint64_t offset, std::span<const uint8_t> data) {
  if (device >= kDeviceCount) return status_reply(STATUS_INVALID_DEVICE_REQUEST);
  if (!media_present()) return status_reply(STATUS_NO_MEDIA_IN_DEVICE);
  if (data.empty()) return status_reply(STATUS_SUCCESS);
  if (data.size() > UINT32_MAX) return status_reply(STATUS_INVALID_PARAMETER);
  Request request;
  request.kind = Request::Kind::kWrite;
  request.offset = offset;
  request.length = uint32_t(data.size());  // the data itself is never kept
  return state_->queue_and_wait(device, &request);
}

uint64_t MountDaemon::mounted_sectors() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sectors;
}

bool MountDaemon::media_present() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->media_present;
}

void MountDaemon::add_reference(uint32_t device, int delta) {
  if (device >= kDeviceCount) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  int& n = state_->devices[device].ext.references;
  n = std::max(0, n + delta);
}

}  // namespace tav::mount
