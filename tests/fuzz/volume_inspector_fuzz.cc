// Fuzz target: any bytes as a volume file through the full inspection, units inflated too.
// The inspector must return a report for every input without crashing, hanging or reading out
// of bounds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "format/volume_inspector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("volume", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0) return 0;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
    if (n <= 0) return 0;
    done += size_t(n);
  }
  tav::img::InspectOptions options;
  options.inflate_units = true;
  tav::img::VolumeReport report;
  (void)tav::img::inspect_volume("/proc/self/fd/" + std::to_string(fd), options, &report);
  return 0;
}
