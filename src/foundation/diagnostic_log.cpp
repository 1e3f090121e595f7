#include "foundation/diagnostic_log.h"

#include <windows.h>

#include <string>

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/log_format.h"
#include "foundation/names.h"

namespace virelo {

void rotate_diagnostic_log() {
    const std::string path = diagnostic_log_path();
    if (path.empty()) return;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win::to_wide(path).c_str(), GetFileExInfoStandard, &data)) return;
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (size < log_rotation_bytes) return;
    MoveFileExW(win::to_wide(path).c_str(), win::to_wide(path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
}

void log_line(std::string_view text) {
    const std::string path = diagnostic_log_path();
    if (path.empty()) return;
    win::create_folder_chain(parent_folder(path));
    // Appending: each line lands whole at the end, whichever thread writes it.
    const win::unique_file file{CreateFileW(win::to_wide(path).c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!file) return;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::string line = format_log_line({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                                              now.wMilliseconds},
                                             text);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace virelo
