#include "common/path.h"

#include <gtest/gtest.h>

namespace virelo {
namespace {

TEST(PathJoin, Table) {
    struct Case { const char* first; const char* second; const char* joined; };
    const Case cases[] = {
        {"C:\\t", "Programs", "C:\\t\\Programs"},
        {"C:\\t\\", "Programs", "C:\\t\\Programs"},
        {"C:\\t/", "Programs", "C:\\t/Programs"},
        {"", "Programs", "Programs"},
        {"C:", "Programs", "C:Programs"},
        {"c:", "x", "c:x"},
        {"C:\\", "x", "C:\\x"},
        {"Programs", "Virelo", "Programs\\Virelo"},
        {"C:\\Users\\a\\AppData\\Local", "Programs", "C:\\Users\\a\\AppData\\Local\\Programs"},
        {"1:", "x", "1:\\x"},  // not a drive letter
        {"CD:", "x", "CD:\\x"},
    };
    for (const auto& c : cases) EXPECT_EQ(path_join(c.first, c.second), c.joined) << c.first;
}

TEST(PathParts, LastComponentAndParent) {
    struct Case { const char* path; const char* last; const char* parent; };
    const Case cases[] = {
        {"C:\\a\\Virelo.exe", "Virelo.exe", "C:\\a"},
        {"C:\\Virelo.exe", "Virelo.exe", "C:\\"},
        {"C:/a/b", "b", "C:/a"},
        {"Virelo.exe", "Virelo.exe", ""},
        {"C:\\a\\", "", "C:\\a"},
        {"", "", ""},
        {"\\x", "x", "\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(last_path_component(c.path), c.last) << c.path;
        EXPECT_EQ(parent_folder(c.path), c.parent) << c.path;
    }
}

TEST(PathCompare, ComponentWise) {
    struct Case { const char* a; const char* b; bool same; };
    const Case cases[] = {
        {"C:\\x\\VireloSetup.exe", "C:\\x\\VireloSetup.exe", true},
        {"C:\\x\\VireloSetup.exe", "c:\\x\\VireloSetup.exe", true},
        {"C:\\x\\VireloSetup.exe", "C:/x//VireloSetup.exe", true},
        {"C:\\x\\VireloSetup.exe", "C:\\X\\VireloSetup.exe", false},
        {"C:\\x\\VireloSetup.exe", "C:\\x\\viRELOsetup.exe", false},
        {"C:\\x\\VireloSetup.exe", "D:\\x\\VireloSetup.exe", false},
        {"C:\\x\\a.exe", "C:x\\a.exe", false},
        {"", "", true},
        {"", "C:\\a", false},
    };
    for (const auto& c : cases) EXPECT_EQ(same_path_components(c.a, c.b), c.same) << c.a << " vs " << c.b;
}

// Names the system would otherwise trim (a trailing dot or space) or refuse
// (past 260 characters) are reached only in this form.
TEST(ExtendedLengthPath, Table) {
    struct Case {
        const char* path;
        const char* extended;
    };
    const Case cases[] = {
        {"C:\\Users\\a\\Programs\\Virelo", "\\\\?\\C:\\Users\\a\\Programs\\Virelo"},
        {"c:/x/y.", "\\\\?\\c:\\x\\y."},
        {"\\\\server\\share\\Virelo", "\\\\?\\UNC\\server\\share\\Virelo"},
        {"\\\\?\\C:\\already", "\\\\?\\C:\\already"},
        {"\\\\.\\pipe\\x", "\\\\.\\pipe\\x"},
        {"Programs\\Virelo", "Programs\\Virelo"},
        {"C:relative", "C:relative"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(extended_length_path(c.path), c.extended);
    }
}

}  // namespace
}  // namespace virelo
