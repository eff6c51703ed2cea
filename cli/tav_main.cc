// Entry point of the `tav` command line; the commands live in tav_cli_lib.
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "core/crc32.h"
#include "core/language.h"

int main(int argc, char** argv) {
  try {
    libtavpub_crc32_reset(tav::kCrc32Polynomial);
    tav::init_core_language();  // before any worker thread: texts of the suite's error codes
    std::vector<std::string> args(argv + 1, argv + argc);
    const int status = tav::cli::run_command_line(args, std::cout, std::cerr);
    std::cout.flush();
    return status;
  } catch (const std::bad_alloc&) {
    std::cerr << "tav: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "tav: internal error: " << e.what() << '\n';
  } catch (...) {
    std::cerr << "tav: internal error\n";
  }
  return tav::cli::kExitFailure;
}
