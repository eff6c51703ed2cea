// The disk library's report target and its set-thread-GUI entry point.
#include "disk/disk_channel.h"

namespace tav::disk {

EngineReport& disk_report() {
  static EngineReport report;
  return report;
}

}  // namespace tav::disk

void libtavdisk_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag) {
  tav::disk::disk_report().set(record, message_buffer, error_flag);
}
