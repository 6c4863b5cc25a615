// helpclean ENVIRONMENT VERSION HELP-FOLDER TITLE BASE-NAME
//
// Run by an uninstaller to take the library's help entries out of a development environment's
// help configuration files. See cleaner.h.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cleaner.h"

int main(int argc, char** argv) {
  // A file size limit must fail the write (and so leave the original alone), not kill the
  // program with a half-written work file behind.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  return korvel::helpclean::RunHelpClean(args, std::cerr);
}
