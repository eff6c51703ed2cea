// The global options --yes and --no: where they are accepted, what they select, and their
// conflict.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/command_line.h"

namespace tav::cli {
namespace {

TEST(TerminalOptionsTest, LeadingFlagsSelectTheAnswerMode) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool ok;
    AnswerMode mode;
    size_t consumed;
  };
  const Case cases[] = {
      {"none", {"inspect", "a.ego"}, true, AnswerMode::kAsk, 0},
      {"--yes", {"--yes", "inspect"}, true, AnswerMode::kYes, 1},
      {"--no", {"--no", "inspect"}, true, AnswerMode::kNo, 1},
      {"repeated", {"--yes", "--yes", "inspect"}, true, AnswerMode::kYes, 2},
      {"only before the command", {"inspect", "--yes"}, true, AnswerMode::kAsk, 0},
      {"no command after them", {"--no"}, true, AnswerMode::kNo, 1},
      {"both", {"--yes", "--no", "inspect"}, false, AnswerMode::kAsk, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GlobalOptions options;
    size_t consumed = 99;
    std::string error;
    EXPECT_EQ(parse_global_options(c.args, &options, &consumed, &error), c.ok);
    EXPECT_EQ(consumed, c.consumed);
    if (c.ok) {
      EXPECT_EQ(options.answer_mode, c.mode);
    } else {
      EXPECT_NE(error.find("--yes and --no"), std::string::npos) << error;
    }
  }
}

TEST(TerminalOptionsTest, CommandLineTakesThemBeforeTheCommand) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {"help lists them", {"--help"}, kExitOk, "--no ", ""},
      {"help after --yes", {"--yes", "--help"}, kExitOk, "tav --yes | --no COMMAND", ""},
      {"command after --no", {"--no", "inspect", "--help"}, kExitOk, "usage: tav inspect", ""},
      {"both", {"--yes", "--no", "inspect"}, kExitUsage, "", "--yes and --no cannot be used together"},
      {"flag without a command", {"--yes"}, kExitUsage, "", "no command given"},
      {"after the command it is the command's option", {"inspect", "--yes", "a.ego"}, kExitUsage,
       "", "unknown option '--yes'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run_command_line(c.args, out, err), c.status);
    EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
    EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
  }
  EXPECT_NE(usage_text().find("--yes"), std::string::npos);
}

}  // namespace
}  // namespace tav::cli
