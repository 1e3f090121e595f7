#pragma once
// The diagnostic log: a few lines per run about what the run did (the site
// and why, each request with its status and duration, the decisions, the
// result), for a user to send when something goes wrong. Each line is
// appended and the file closed again, so every thread may write and nothing
// is held between lines. Failures to write are ignored: the log never
// changes what a run does.

#include <string_view>

namespace virelo {

// Called once as a run starts: moves a log that grew past its bound aside to
// "setup.log.1", replacing the previous part. When that part cannot be
// replaced (a folder of that name), the log is emptied instead; when even
// that fails, the run writes no log. The two files never grow past the bound
// and a run's few lines.
void rotate_diagnostic_log();

// Appends one line with the local time.
void log_line(std::string_view text);

// The same, but only to a log that exists: for the uninstall, which removes
// the log's folder, and for a start that ends beside another run (an
// uninstall, say), so that neither ever makes that folder again.
void log_line_if_logging(std::string_view text);

}  // namespace virelo
