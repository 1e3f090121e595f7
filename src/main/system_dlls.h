#pragma once
// Where the setup program's DLLs come from: the system folder only. The
// program is often run from a Downloads folder, where a web page can drop
// files, and a DLL found beside it must never be loaded.

namespace virelo {

// Restricts the process's DLL search to the system folder and loads from there
// the DLLs that system DLLs load on their own later. Called first thing in the
// program; false when the search cannot be restricted (the program then ends).
bool restrict_dll_search_to_system_folder();

}  // namespace virelo
