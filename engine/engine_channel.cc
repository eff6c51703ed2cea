// The engine's report target and its set-thread-GUI entry point.
#include "engine/engine_channel.h"

namespace tav::engine {

EngineReport& bak_report() {
  static EngineReport report;
  return report;
}

}  // namespace tav::engine

void libtavbak_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag) {
  tav::engine::bak_report().set(record, message_buffer, error_flag);
}
