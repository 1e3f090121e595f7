// lnk-info LINK-FILE
//
// Reads a shell link through the shell-link object, the way the shell does,
// and prints its target, arguments, working folder, description and icon.

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"

namespace {

using virelo::win::com_ptr;
using virelo::win::from_wide_buffer;

void print(const char* label, const wchar_t* buffer, std::size_t capacity) {
    std::printf("%s: %s\n", label, from_wide_buffer(buffer, capacity).c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: lnk-info LINK-FILE\n", stderr);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    com_ptr<IShellLinkW> link;
    if (CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void()) != S_OK) {
        std::fputs("lnk-info: cannot create the shell-link object\n", stderr);
        return 1;
    }
    com_ptr<IPersistFile> file;
    if (link->QueryInterface(IID_IPersistFile, file.put_void()) != S_OK || file->Load(argv[1], STGM_READ) != S_OK) {
        std::fputs("lnk-info: cannot load the link file\n", stderr);
        return 1;
    }

    wchar_t buffer[MAX_PATH * 2] = {};
    // The raw path: the target as stored, not resolved against the disk.
    link->GetPath(buffer, MAX_PATH * 2, nullptr, SLGP_RAWPATH);
    print("target", buffer, MAX_PATH * 2);

    buffer[0] = L'\0';
    link->GetArguments(buffer, MAX_PATH * 2);
    print("arguments", buffer, MAX_PATH * 2);

    buffer[0] = L'\0';
    link->GetWorkingDirectory(buffer, MAX_PATH * 2);
    print("working folder", buffer, MAX_PATH * 2);

    buffer[0] = L'\0';
    link->GetDescription(buffer, MAX_PATH * 2);
    print("description", buffer, MAX_PATH * 2);

    buffer[0] = L'\0';
    int icon_index = 0;
    link->GetIconLocation(buffer, MAX_PATH * 2, &icon_index);
    std::printf("icon: %s,%d\n", from_wide_buffer(buffer, MAX_PATH * 2).c_str(), icon_index);
    return 0;
}
