// The imaging engine's link to the progress channel: where its reports go.
#pragma once

#include <cstdint>

#include "core/engine_report.h"
#include "core/progress_channel.h"

// Binds the engine's log and error output to a progress channel: stores the face's record, its
// message buffer (tav::kMessageBufferBytes bytes) and the address of the reported flag, and
// clears the flag. The face calls it once before any run; the three must live as long as the
// process (null pointers are allowed: reports then go only to the trace). The backup and the
// other engine runs use this record as their channel.
void libtavbak_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag);

namespace tav::engine {

// The engine's report target, set by libtavbak_set_thread_gui.
EngineReport& bak_report();

}  // namespace tav::engine
