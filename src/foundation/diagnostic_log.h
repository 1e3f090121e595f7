#pragma once
// The diagnostic log: a few lines per run about what the run did (the site
// and why, each request with its status and duration, the decisions, the
// result), for a user to send when something goes wrong. Each line is
// appended and the file closed again, so every thread may write and nothing
// is held between lines. Failures to write are ignored: the log never
// changes what a run does.

#include <string_view>

namespace virelo {

// Called once as a run starts: moves a log that grew past its bound aside.
void rotate_diagnostic_log();

// Appends one line with the local time.
void log_line(std::string_view text);

}  // namespace virelo
