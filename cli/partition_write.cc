// Confirming and running a partition restore or clone.
#include "cli/partition_write.h"

#include "cli/command_line.h"
#include "cli/engine_run.h"
#include "cli/partition_target.h"
#include "core/ui_sink.h"
#include "disk/disk_list.h"

namespace tav::cli {

int confirm_and_run_partition_write(const PartitionWriteText& text, RESTORE_REQUEST* request, ImageSession* session,
                                    std::ostream& out, std::ostream& err) {
  const std::string prefix = std::string("tav ") + text.command + ": ";
  const std::string dest = describe_partition(*request->dest_part);
  if (Status st = tav::engine::check_restore_destination(*request); !st.is_ok()) {
    err << prefix << st.message() << "; nothing was written\n";
    return kExitFailure;
  }
  out << "source:      " << text.source << '\n'
      << "destination: " << dest << '\n'
      << "Everything on the destination partition will be overwritten." << std::endl;
  const std::string question =
      "Overwrite " + std::string(tav_get_partition_dev_name(request->dest_part)) + " with the " + text.command + "?";
  const uint32_t answer = session->sink()->ask(kIconQuestion, kButtonsYesNo, "tav", question);
  if (answer != kAnswerYes) {
    err << prefix << "not confirmed (answer yes on the terminal, or give --yes); nothing was written\n";
    return kExitFailure;
  }

  const EngineRunOutcome outcome = run_engine_operation(session, [request] { return TavStartRestoration(request); });
  if (!outcome.started) {
    err << prefix << "the " << text.command << " could not be started" << outcome.unshown_report
        << "; nothing was written\n";
    return kExitFailure;
  }
  if (outcome.cancelled) {
    err << prefix << "cancelled; " << tav_get_partition_dev_name(request->dest_part)
        << " may hold an incomplete copy, which is no valid file system\n";
    return kExitCancelled;
  }
  if (!outcome.result.has_value() || *outcome.result < 0) {
    err << prefix << "the " << text.command << " failed" << outcome.unshown_report << '\n';
    return kExitFailure;
  }
  if (outcome.ignored_answers > 0) {
    err << prefix << tav_get_partition_dev_name(request->dest_part) << " written, but " << outcome.ignored_answers
        << " piece(s) of data that could not be read or written were let go\n";
    return kExitFailure;
  }
  out << text.command << " done: " << tav_get_partition_dev_name(request->dest_part) << " in "
      << elapsed_text(outcome.elapsed) << '\n';
  return kExitOk;
}

}  // namespace tav::cli
