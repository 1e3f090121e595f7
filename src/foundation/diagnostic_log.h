#pragma once
// The diagnostic log: a few lines per run about what the run did (the site
// and why, each request with its status and duration, the decisions, the
// result), for a user to send when something goes wrong. Each line is
// appended and the file closed again, so every thread may write and nothing
// is held between lines. Failures to write are ignored: the log never
// changes what a run does.

#include <string>
#include <string_view>

#include "common/result.h"

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

// For a failure the run goes on without (a registry value, a shortcut, the
// setup copy, the version file, a step of the migration): one line naming
// what failed and why, and nothing else changes.
template <typename Kind>
void log_ignored(std::string_view what, const BasicResult<Kind>& result) {
    if (!result.ok()) log_line(std::string{what} + " failed (ignored): " + result.error());
}

// The same for the uninstall, which never makes the log's folder again.
template <typename Kind>
void log_ignored_if_logging(std::string_view what, const BasicResult<Kind>& result) {
    if (!result.ok()) log_line_if_logging(std::string{what} + " failed (ignored): " + result.error());
}

}  // namespace virelo
