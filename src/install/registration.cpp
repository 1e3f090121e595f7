#include "install/registration.h"

#include <string>

#include "common/win/failpoint.h"
#include "common/win/os_error.h"
#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"
#include "foundation/names.h"
#include "install/registration_values.h"

namespace virelo {
namespace {

// Opens (creating as needed) the key below HKEY_CURRENT_USER and sets one
// value. Each value stands alone: a failure is logged and the run goes on.
void set_value(std::string_view key, std::string_view name, DWORD type, const void* data, DWORD byte_count) {
    win::unique_hkey handle;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, win::to_wide(key).c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, handle.put(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(handle.get(), win::to_wide(name).c_str(), 0, type, static_cast<const BYTE*>(data),
                                byte_count);
    }
    log_ignored("writing the registry value " + std::string{key} + "\\" + std::string{name},
                os_result(static_cast<DWORD>(status)));
}

}  // namespace

void set_string_value(std::string_view key, std::string_view name, std::string_view text) {
    const std::wstring data = win::to_wide(text);
    // The byte count includes the terminating NUL.
    set_value(key, name, REG_SZ, data.c_str(), static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

void set_dword_value(std::string_view key, std::string_view name, DWORD number) {
    set_value(key, name, REG_DWORD, &number, sizeof number);
}

void write_site_value(std::string_view site) {
    set_string_value(launcher_key(), "Site", site);
    VIRELO_FAILPOINT("install.site_recorded");
}

std::optional<std::uint64_t> read_serial_value() {
    // Room for more than a QWORD, so that a longer value is seen as such
    // rather than failing as "more data".
    std::uint8_t data[16] = {};
    DWORD type = 0;
    DWORD size = sizeof data;
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, win::to_wide(launcher_key()).c_str(), L"Serial",
                                        RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS) {
        log_line("the recorded serial is ignored: it cannot be read (error " + std::to_string(status) + ")");
        return std::nullopt;
    }
    const auto serial = recorded_serial(type, {data, size});
    if (!serial) {
        log_line("the recorded serial is ignored: " + serial.error());
        return std::nullopt;
    }
    return serial.value();
}

void write_serial_value(std::uint64_t serial) {
    set_value(launcher_key(), "Serial", REG_QWORD, &serial, sizeof serial);
}

void write_uninstall_entry(const Release& release) {
    const std::string key = uninstall_key();
    set_string_value(key, "DisplayName", "Virelo");
    set_string_value(key, "DisplayVersion", release.version);
    set_string_value(key, "Publisher", "Halvik");
    set_string_value(key, "DisplayIcon", installed_exe_path());
    set_string_value(key, "InstallLocation", install_dir());
    VIRELO_FAILPOINT("install.entry_half_written");
    set_string_value(key, "UninstallString", uninstall_command(setup_copy_path()));
    set_dword_value(key, "NoModify", 1);
    set_dword_value(key, "NoRepair", 1);
    set_dword_value(key, "EstimatedSize", estimated_size_kb(release.size));
    VIRELO_FAILPOINT("install.entry_written");
}

}  // namespace virelo
