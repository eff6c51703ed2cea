// `tav validate`: loads the storage, picks the snapshot and runs the engine's validation on the
// progress channel's worker while the terminal face draws its progress and prints the reports.
#include "cli/validate_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "cli/engine_run.h"
#include "cli/storage_args.h"
#include "engine/validate.h"

namespace tav::cli {

namespace {

const char kValidateUsage[] =
    "usage: tav validate DIR [--name BASE] [--snapshot N]\n"
    "\n"
    "Reads back every stored sector of snapshot N of the storage in DIR (volume files BASE0.ego,\n"
    "...; BASE is \"imbackup\" unless --name says otherwise): each compress unit is read, its\n"
    "framing and checksums are checked and it is inflated, in the snapshot's volumes and in\n"
    "those of the snapshots it depends on. Nothing is written. N is the number `tav list`\n"
    "shows; the newest snapshot when not given. Damaged data asks Abort/Retry/Ignore on the\n"
    "terminal (--no answers Abort; without a terminal the validation stops).\n"
    "\n"
    "  --name BASE      base name of the volume files\n"
    "  --snapshot N     snapshot number, from 1\n"
    "\n"
    "Ctrl-C cancels. Exit status: 0 when every unit read and checked; 1 when the storage or the\n"
    "snapshot is not there or a unit does not read or check (also when damaged data was let go\n"
    "on with Ignore); 2 on wrong use; 130 when cancelled.\n";

// False with *error on wrong use; out->help for --help.
// Not inlined: GCC 12 at -O2 takes the operand vector's release for a release of *out once it is
// inlined into the caller (a false -Wfree-nonheap-object).
[[gnu::noinline]] bool parse_validate_args(const std::vector<std::string>& args, StorageArgs* out,
                                          std::string* error) {
  StorageArgRules rules;
  rules.takes_partition = false;
  std::vector<std::string> positional;
  if (!parse_storage_args(args, rules, nullptr, out, &positional, error)) return false;
  if (out->help) return true;
  if (positional.size() != 1) {
    *error = positional.empty() ? "no storage directory given" : "one storage directory only";
    return false;
  }
  out->directory = positional[0];
  return read_storage_numbers(out, false, error);
}

}  // namespace

int run_validate_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                         std::ostream& err) {
  const CommandOpening command("validate", kValidateUsage, out, err);
  StorageArgs a;  // no --snapshot: the newest
  if (const std::optional<int> exit = command.parse(parse_validate_args, args, &a, a.help)) return *exit;

  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  // Progress only on a terminal; a log or pipe gets the result line and the errors.
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);
  SNAP_DATA* snap = nullptr;
  uint32_t snap_number = a.snapshot_number;  // 0: the newest
  if (Status st = load_snapshot(&session, a, &snap_number, &snap); !st.is_ok()) return command.fail(st.message());

  // Every partition of the snapshot is checked; the extended container (number 0) holds no data.
  for (const NumberedPartition& np : numbered_partitions(*snap)) {
    if (np.number != 0) np.part->selected = 1;
  }

  VALIDATE_REQUEST request;
  request.image_dir = a.directory;
  request.image_name = a.base_name;
  request.psnap = snap;

  const EngineRunOutcome outcome = run_engine_operation(&session, [&request] { return TavStartValidation(&request); });
  if (!outcome.started) return command.fail("the validation could not be started");
  const std::string what = "snapshot " + std::to_string(snap_number);
  if (outcome.cancelled) return command.cancelled("cancelled; " + what + " was not completely checked");
  if (!outcome.result.has_value() || *outcome.result < 0) {
    return command.fail(what + " does not validate" + outcome.unshown_report);
  }
  if (outcome.ignored_answers > 0) {
    return command.fail(what + " does not validate: " + std::to_string(outcome.ignored_answers) +
                        " damaged piece(s) of data were let go on");
  }
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.1f", std::chrono::duration<double>(outcome.elapsed).count());
  out << what << " of " << a.directory << ": every stored unit reads and checks (" << elapsed << " s)\n";
  return kExitOk;
}

}  // namespace tav::cli
