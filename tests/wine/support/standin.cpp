#include "support/standin.h"

#include "common/path.h"
#include "common/win/files.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "support/test_folder.h"

namespace virelo::test {

bool copy_file_to(const std::string& from, const std::string& to) {
    // The copy fails, and says so, when its folder could not be made.
    if (!win::create_folder_chain(parent_folder(to))) return false;
    return CopyFileW(win::to_wide(from).c_str(), win::to_wide(to).c_str(), FALSE) != 0;
}

RunningStandIn::~RunningStandIn() {
    if (child_.process && running()) {
        TerminateProcess(child_.process.get(), 99);
        WaitForSingleObject(child_.process.get(), 5000);
    }
}

bool RunningStandIn::running() const { return WaitForSingleObject(child_.process.get(), 0) == WAIT_TIMEOUT; }

std::optional<DWORD> RunningStandIn::wait_for_exit(DWORD timeout_ms) const {
    DWORD code = 0;
    if (!test::wait_for_exit(child_, timeout_ms, &code)) return std::nullopt;
    return code;
}

namespace {

struct WindowSearch {
    DWORD process_id;
    std::wstring class_name;
    HWND found = nullptr;
};

BOOL CALLBACK match_window(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    if (owner == search.process_id && search.class_name == name) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND RunningStandIn::wait_for_window(const wchar_t* class_name, DWORD timeout_ms) const {
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search{child_.id, class_name};
        EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start >= timeout_ms) return nullptr;
        Sleep(20);
    }
}

RunOptions standin_options(std::vector<std::string> args, EnvChanges env) {
    RunOptions options;
    options.args = std::move(args);
    options.env = std::move(env);
    return options;
}

std::optional<RunningStandIn> start_standin(const std::string& exe, const RunOptions& options,
                                            const wchar_t* window_class) {
    auto child = start_program(exe, options);
    if (!child) return std::nullopt;
    RunningStandIn standin{std::move(*child)};
    if (window_class && !standin.wait_for_window(window_class, 10000)) return std::nullopt;
    return standin;
}

namespace {

// Read with write sharing: a stand-in that starts meanwhile must still be
// able to open the file and append its line. A read that locked writers out
// (as a plain whole-file read does) would lose that start.
std::optional<std::string> read_shared(const std::string& file) {
    const win::unique_file in{CreateFileW(win::to_wide(file).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (!in) return std::nullopt;
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(in.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
    return text;
}

}  // namespace

std::vector<StartRecord> read_start_records(const std::string& file) {
    std::vector<StartRecord> records;
    const auto text = read_shared(file);
    if (!text) return records;
    std::string_view rest = *text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        if (end == std::string_view::npos) break;  // a line still being written
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos) continue;
        records.push_back({std::string{line.substr(0, tab)}, std::string{line.substr(tab + 1)}});
    }
    return records;
}

std::vector<StartRecord> wait_for_start_records(const std::string& file, std::size_t count, DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        auto records = read_start_records(file);
        if (records.size() >= count || GetTickCount() - start >= timeout_ms) return records;
        Sleep(20);
    }
}

}  // namespace virelo::test
