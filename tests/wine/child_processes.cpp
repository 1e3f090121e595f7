#include "child_processes.h"

#include <tlhelp32.h>
#include <winternl.h>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace virelo::test {

std::vector<ChildProcess> child_processes(DWORD parent_id) {
    std::vector<ChildProcess> children;
    win::unique_file snapshot{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    if (!snapshot) return children;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parent_id) continue;
        ChildProcess child;
        child.id = entry.th32ProcessID;
        child.exe_name = win::from_wide_buffer(entry.szExeFile, MAX_PATH);
        child.command_line = process_command_line(entry.th32ProcessID).value_or("");
        children.push_back(std::move(child));
    }
    return children;
}

std::optional<std::string> process_command_line(DWORD process_id) {
    win::unique_handle process{OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id)};
    if (!process) return std::nullopt;
    PROCESS_BASIC_INFORMATION basic{};
    ULONG length = 0;
    if (NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic, sizeof basic, &length) != 0) {
        return std::nullopt;
    }
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS parameters{};
    SIZE_T read = 0;
    if (!ReadProcessMemory(process.get(), basic.PebBaseAddress, &peb, sizeof peb, &read) ||
        !ReadProcessMemory(process.get(), peb.ProcessParameters, &parameters, sizeof parameters, &read)) {
        return std::nullopt;
    }
    std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!ReadProcessMemory(process.get(), parameters.CommandLine.Buffer, text.data(), parameters.CommandLine.Length,
                           &read)) {
        return std::nullopt;
    }
    return win::from_wide(text);
}

std::optional<ChildProcess> wait_for_child(DWORD parent_id, const char* exe_name, DWORD timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        for (auto& child : child_processes(parent_id)) {
            if (_stricmp(child.exe_name.c_str(), exe_name) == 0 && !child.command_line.empty()) return child;
        }
        if (GetTickCount64() >= deadline) return std::nullopt;
        Sleep(20);
    }
}

std::string system_folder() {
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    return win::from_wide({path, length < MAX_PATH ? length : 0});
}

}  // namespace virelo::test
