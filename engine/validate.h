// Validation: reads every stored sector of every selected partition of one snapshot through
// the image reader, which checks each unit's framing and CRC-32 and inflates it. Nothing is
// written and nothing is compared with a disk; the first partition that fails ends the run.
//
// Prerequisites as for the backup: libtavbak_set_thread_gui named the channel; the snapshot
// belongs to a storage loaded by the image library and stays loaded until the run ends.
//
// Completion: the run ends the channel's operation (UiMessage::kWorkDone) with 0 when every
// unit read and checked, -1 on a failure; a cancelled run ends with 0 and the channel's cancel
// set. The cause of a failed read (damaged unit, truncated or missing volume, naming the volume)
// is reported by the image reader through the same report. One engine run at a time per
// process: called while a run is active, the entry points return 0.
#pragma once

#include <string>

struct SNAP_DATA;

// Owned by the caller, valid until the run ends.
struct VALIDATE_REQUEST {
  std::string image_dir;   // folder of the storage
  std::string image_name;  // base name of its volume files
  SNAP_DATA* psnap = nullptr;  // the loaded snapshot to validate
};

// Starts the run on the channel's worker thread: 1 when started, else 0 (null request, or the
// thread could not start: "Starting validation thread failed!"). Sets the channel's
// progress_step to 0xFFFF and clears worker_mode and cancel first.
int TavStartValidation(VALIDATE_REQUEST* request);

// The same run on the caller's thread (tests and the command line). 1, or 0 for a null request.
int TavValidateThread(VALIDATE_REQUEST* request);
