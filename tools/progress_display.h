#pragma once
// How the tool's long commands show their progress on standard error: a bar on a terminal,
// plain "NN%" lines with --progress, nothing with --quiet or where standard error is no terminal.

#include <CLI/CLI.hpp>

#include <functional>
#include <ostream>
#include <string>

namespace korvel::tool {

struct TProgressOptions {
  bool Lines = false;  // --progress
  bool Quiet = false;  // --quiet
};

void AddProgressOptions(CLI::App& app, TProgressOptions& options);

// Shows how far the work is: `step` names the part under way (empty for work of one part).
using TProgressDisplay = std::function<void(const std::string& step, int percent)>;

// Empty when nothing is to be shown.
TProgressDisplay MakeProgressDisplay(const TProgressOptions& options, std::ostream& err);

// The same for work that reports only a percentage.
std::function<void(int percent)> MakePercentDisplay(const TProgressOptions& options, std::ostream& err);

// Ends a bar left unfinished (the work failed), so that what follows starts on a line of its own.
void EndProgressLine(std::ostream& err);

}  // namespace korvel::tool
