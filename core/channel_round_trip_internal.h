// Worker side of the progress channel's round trips, shared by the channel's own files
// (progress_channel.cc, channel_round_trip.cc). Not for use outside core/.
#pragma once

#include <cstdint>
#include <string>

#include "core/progress_channel.h"

namespace tav::internal {

// Posts a progress round trip to the record's owner and waits for it (see progress_channel.h). The
// caller holds dialog_mutex (and may hold data_mutex). Nothing happens without an owner.
void progress_round_trip(THREAD_GUI_DATA* record);

// Posts a question to the record's owner and waits for the answer. The caller holds
// dialog_mutex. Returns the safe answer without an owner, when post() fails, or when the round
// trip is abandoned (cancel set, owner removed or replaced).
uint32_t dialog_round_trip(THREAD_GUI_DATA* record, uint32_t icon, uint32_t buttons,
                           const std::string& text);

// Asks `prompter` on the calling thread with the icon and button set normalised (icons other
// than 1-6 become 1, unknown button sets 8). The safe answer for a null prompter or when ask()
// throws.
uint32_t ask_prompter(Prompter* prompter, uint32_t icon, uint32_t buttons,
                      const std::string& caption, const std::string& text);

}  // namespace tav::internal
