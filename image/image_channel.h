// The image library's link to the progress channel: where its reports go.
#pragma once

#include <cstdint>

#include "core/engine_report.h"
#include "core/progress_channel.h"

// Stores the face's record, message buffer (tav::kMessageBufferBytes bytes) and error flag for
// the image library's reports and sets the flag to 0. The face calls it once at start-up, before
// any worker runs; the three must live as long as the process (null pointers are allowed).
void libtavimg_set_thread_gui(THREAD_GUI_DATA* record, char* message_buffer, int32_t* error_flag);

namespace tav::img {

// The image library's own report target, set by libtavimg_set_thread_gui.
EngineReport& image_report();

}  // namespace tav::img
