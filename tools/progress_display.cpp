#include "tools/progress_display.h"

#include <unistd.h>

#include <iostream>

namespace korvel::tool {

namespace {
bool barOpen = false;  // a bar is drawn and the line not ended (the tool runs one command at a time)
}  // namespace

void AddProgressOptions(CLI::App& app, TProgressOptions& options) {
  app.add_flag("--progress", options.Lines, "print progress as plain NN% lines");
  app.add_flag("--quiet", options.Quiet, "print no progress");
}

TProgressDisplay MakeProgressDisplay(const TProgressOptions& options, std::ostream& err) {
  if (options.Quiet) return nullptr;
  if (options.Lines) return [&err](const std::string&, int percent) { err << percent << "%\n"; };
  if (&err != &std::cerr || isatty(STDERR_FILENO) != 1) return nullptr;
  return [&err](const std::string& step, int percent) {
    constexpr int kWidth = 40;
    const int filled = percent * kWidth / 100;
    err << "\r\033[K";  // the bar is redrawn in place, over a longer step text too
    if (!step.empty()) err << step << ' ';
    err << '[' << std::string(static_cast<std::size_t>(filled), '#')
        << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << percent << '%';
    barOpen = percent < 100;
    if (!barOpen) err << '\n';
    err.flush();
  };
}

std::function<void(int percent)> MakePercentDisplay(const TProgressOptions& options, std::ostream& err) {
  TProgressDisplay show = MakeProgressDisplay(options, err);
  if (!show) return nullptr;
  return [show](int percent) { show(std::string(), percent); };
}

void EndProgressLine(std::ostream& err) {
  if (!barOpen) return;
  err << '\n';
  barOpen = false;
}

}  // namespace korvel::tool
