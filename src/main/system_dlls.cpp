#include "main/system_dlls.h"

#include <windows.h>
#include <delayimp.h>

namespace virelo {
namespace {

// The delay imports of Wine's winhttp.dll, which the download reaches (crypt32
// and secur32 as soon as a site is https). Wine resolves the delay imports of
// its own DLLs with the program's folder first, whatever the default search
// says (seen with WINEDEBUG=+loaddll); a DLL already loaded is what a later
// load by that name gets, so these are loaded from the system folder up front.
// The other DLLs the system DLLs load on their own follow the restricted
// search under Wine too, and on Windows the restricted search covers all of
// them.
constexpr const wchar_t* indirect_dlls[] = {
    L"crypt32.dll", L"secur32.dll", L"oleaut32.dll", L"iphlpapi.dll", L"dhcpcsvc.dll",
};

FARPROC WINAPI load_from_system_folder(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary) return nullptr;
    // A null result lets the helper fall back to LoadLibraryA, which the
    // restricted search then confines to the system folder all the same.
    return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

}  // namespace

bool restrict_dll_search_to_system_folder() {
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return false;
    // Kept loaded for the life of the process on purpose: a module that stays
    // is the one every later load by that name gets.
    for (const wchar_t* name : indirect_dlls) LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return true;
}

}  // namespace virelo

// The delay-load helper's notification hook, read by the helper on each load:
// every delay-loaded DLL comes from the system folder, whatever the search
// order. Set here once and never changed; it must be defined in the program's
// own objects, or the linker takes the helper library's empty default. Its C
// linkage comes from the declaration in <delayimp.h>.
PfnDliHook __pfnDliNotifyHook2 = virelo::load_from_system_folder;
