#pragma once
// Whole-file reads and writes and folder operations on UTF-8 paths. Failures
// come back as the system's error code (ERROR_SUCCESS on success).

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace virelo::win {

// True when something (a file or a folder) exists at the path.
bool path_exists(std::string_view path);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> read_file(std::string_view path);

// Creates or truncates the file and writes all the bytes.
DWORD write_file(std::string_view path, std::span<const std::uint8_t> bytes);

// Writes the bytes beside `path` and renames them over it, so a write that
// fails midway leaves the previous file whole instead of a truncated one.
DWORD replace_file(std::string_view path, std::span<const std::uint8_t> bytes);

// Creates the folder and every missing parent; an existing folder is no error.
DWORD create_folder_chain(std::string_view path);

// Deletes one file; clears a read-only attribute first.
bool delete_file(std::string_view path);

// Deletes a folder with everything in it. Links inside it are removed, never
// followed. Whatever cannot be deleted stays.
void delete_tree(std::string_view path);

// True for a path that names a location independent of the current folder:
// a drive and a root ("C:\x") or a UNC/device path ("\\server\share").
bool is_absolute_path(std::string_view path);

}  // namespace virelo::win
