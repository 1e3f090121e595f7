#include "main/system_dlls.h"

#include <windows.h>
#include <delayimp.h>

namespace virelo {
namespace {

// Wine resolves the delay imports of its own DLLs with the program's folder
// first, whatever the default search says (seen with WINEDEBUG=+loaddll), and
// a DLL already loaded is what a later load by that name gets. winhttp.dll is
// the one DLL whose delay imports the program reaches (crypt32 and secur32 as
// soon as a site is https), so they are loaded from the system folder together
// with it. On Windows the restricted search covers them anyway.
constexpr const char* winhttp_delay_imports[] = {
    "crypt32.dll", "secur32.dll", "oleaut32.dll", "iphlpapi.dll", "dhcpcsvc.dll",
};

HMODULE load_system_dll(const char* name) { return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }

FARPROC WINAPI load_from_system_folder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) return nullptr;
    HMODULE module = load_system_dll(info->szDll);
    if (module && lstrcmpiA(info->szDll, "winhttp.dll") == 0) {
        // Kept loaded for the life of the process on purpose.
        for (const char* name : winhttp_delay_imports) load_system_dll(name);
    }
    // A null result lets the helper fall back to LoadLibraryA, which the
    // restricted search then confines to the system folder all the same.
    return reinterpret_cast<FARPROC>(module);
}

}  // namespace

bool restrict_dll_search_to_system_folder() { return SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != 0; }

}  // namespace virelo

// The delay-load helper's notification hook, read by the helper on each load:
// every delay-loaded DLL comes from the system folder, whatever the search
// order. Set here once and never changed; it must be defined in the program's
// own objects, or the linker takes the helper library's empty default. Its C
// linkage comes from the declaration in <delayimp.h>.
PfnDliHook __pfnDliNotifyHook2 = virelo::load_from_system_folder;
