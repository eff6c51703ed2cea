// The disk library's link to the progress channel: where its reports go.
#pragma once

#include <cstdint>

#include "core/engine_report.h"
#include "core/progress_channel.h"

// Stores the face's record, message buffer (tav::kMessageBufferBytes bytes) and error flag for
// the disk library's reports and sets the flag to 0; called once at start-up (null pointers are
// allowed: reports then go nowhere but the trace).
void libtavdisk_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag);

namespace tav::disk {

// The disk library's report target, set by libtavdisk_set_thread_gui.
EngineReport& disk_report();

}  // namespace tav::disk
