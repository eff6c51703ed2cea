// The image library's report target and its set-thread-GUI entry point.
#include "image/image_channel.h"

namespace tav::img {

EngineReport& image_report() {
  static EngineReport report;
  return report;
}

}  // namespace tav::img

void libtavimg_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag) {
  tav::img::image_report().set(record, message_buffer, error_flag);
}
