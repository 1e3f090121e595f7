#include "foundation/diagnostic_log.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/log_format.h"
#include "foundation/names.h"

namespace virelo {

namespace {

// Set when the log could be neither moved aside nor emptied: the run then
// writes none, so that nothing grows past the bound.
std::atomic<bool> logging_stopped{false};

bool move_aside(const std::wstring& log, const std::wstring& previous) {
    return MoveFileExW(log.c_str(), previous.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool truncate(const std::wstring& log) {
    const win::unique_file file{CreateFileW(log.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    return static_cast<bool>(file);
}

}  // namespace

void rotate_diagnostic_log() {
    const std::string path = diagnostic_log_path();
    if (path.empty()) return;
    const std::wstring log = win::to_wide(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data)) return;
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (size < log_rotation_bytes) return;
    const std::string previous = path + ".1";
    if (move_aside(log, win::to_wide(previous))) return;
    // Something in the way of the previous part: a file that will not be
    // replaced (read-only, say) goes first; a folder of that name stays, and
    // the log starts over instead. Either way it stays bounded.
    if (win::delete_file(previous) && move_aside(log, win::to_wide(previous))) return;
    if (truncate(log)) return;
    logging_stopped = true;
}

namespace {

void append_line(std::string_view text, bool create) {
    if (logging_stopped) return;
    const std::string path = diagnostic_log_path();
    if (path.empty()) return;
    // The log cannot report its own failures: without its folder there is
    // simply no line.
    if (create && !win::create_folder_chain(parent_folder(path))) return;
    // Appending: each line lands whole at the end, whichever thread writes it.
    const win::unique_file file{CreateFileW(win::to_wide(path).c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::string line = format_log_line({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                              now.wMilliseconds},
                                             text);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

void log_line(std::string_view text) { append_line(text, true); }

void log_line_if_logging(std::string_view text) { append_line(text, false); }

}  // namespace virelo
