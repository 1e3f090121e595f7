#pragma once
// Where the setup program's DLLs come from: the system folder only. The
// program is often run from a Downloads folder, where a web page can drop
// files, and a DLL found beside it must never be loaded.

namespace virelo {

// Restricts the process's DLL search to the system folder. Called first thing
// in the program; false when the search cannot be restricted (the program then
// ends). Every DLL but kernel32 and msvcrt is delay-loaded, and those loads
// take the system folder's copy whatever the search order (system_dlls.cpp).
bool restrict_dll_search_to_system_folder();

}  // namespace virelo
