#include "support/shell_link.h"

#include <windows.h>
#include <objidl.h>
#include <shlguid.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include "common/win/unique_resource.h"
#include "common/win/wide.h"
#include "foundation/names.h"

namespace virelo::test {

std::optional<ShellLink> read_shell_link(const std::string& file) {
    win::com_ptr<IShellLinkW> link;
    win::com_ptr<IPersistFile> persist;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, persist.put_void())) ||
        FAILED(persist->Load(win::to_wide(file).c_str(), STGM_READ))) {
        return std::nullopt;
    }
    ShellLink result;
    wchar_t text[1024];
    // Each getter fills `text`; a failed one leaves a marker instead.
    const auto read = [&text](HRESULT hr) { return SUCCEEDED(hr) ? win::from_wide_buffer(text, 1024) : "<failed>"; };
    text[0] = 0;
    result.target = read(link->GetPath(text, 1024, nullptr, SLGP_RAWPATH));
    text[0] = 0;
    result.arguments = read(link->GetArguments(text, 1024));
    text[0] = 0;
    result.working_folder = read(link->GetWorkingDirectory(text, 1024));
    text[0] = 0;
    result.description = read(link->GetDescription(text, 1024));
    text[0] = 0;
    result.icon = read(link->GetIconLocation(text, 1024, &result.icon_index));
    return result;
}

void expect_link_to_setup_copy(const std::string& file) {
    SCOPED_TRACE(file);
    const auto link = read_shell_link(file);
    ASSERT_TRUE(link) << "not readable as a shell link";
    EXPECT_EQ(link->target, setup_copy_path());
    EXPECT_EQ(link->arguments, "");
    EXPECT_EQ(link->working_folder, install_dir());
    EXPECT_EQ(link->description, "Virelo");
    EXPECT_EQ(link->icon, installed_exe_path());
    EXPECT_EQ(link->icon_index, 0);
}

}  // namespace virelo::test
