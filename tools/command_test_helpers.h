// What the tool's command tests share: a command run with its output and errors captured.

#pragma once

#include <ostream>
#include <sstream>
#include <string>

#include "tools/commands.h"

namespace korvel::tool::command_test {

struct TRun {
  int Status;
  std::string Out;
  std::string Err;
};

inline TRun Invoke(int (*command)(const TArguments&, std::ostream&, std::ostream&), const TArguments& args) {
  std::ostringstream out, err;
  int status = command(args, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace korvel::tool::command_test
