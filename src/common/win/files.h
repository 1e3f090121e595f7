#pragma once
// Whole-file reads and writes and folder operations on UTF-8 paths. Failures
// come back as an OsResult: the system's error code and its text. Every
// write is flushed and every rename written through, so that what a run has
// reported done survives a power cut.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/win/os_error.h"

namespace virelo::win {

// True when something (a file or a folder) exists at the path.
bool path_exists(std::string_view path);

// The whole file, or nothing when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> read_file(std::string_view path);

// Creates or truncates the file, writes all the bytes and flushes them to the
// disk before it closes the file.
OsResult write_file(std::string_view path, std::span<const std::uint8_t> bytes);

// What a rename does to a file that already has the new name.
enum class ExistingTarget { replace, keep };

// Renames `from` to `to` and returns once the rename itself is on the disk
// (MOVEFILE_WRITE_THROUGH). An existing `to` is replaced in the same step, or
// kept, which makes the rename fail.
OsResult rename_durably(std::string_view from, std::string_view to,
                     ExistingTarget existing = ExistingTarget::replace);

// The temporary name beside `path` under which a new version of it is
// written: `path` + ".new". The setup program removes such files of its own
// names when a run is killed before it could rename them.
std::string temporary_path(std::string_view path);

// The durable replacement of a whole file in two steps, so that a caller can
// act between them: stage_file writes the bytes under temporary_path(path)
// and flushes them; commit_staged_file renames that file over `path`. At
// every moment `path` holds either its old or its new content, complete. A
// failed step removes the temporary file.
OsResult stage_file(std::string_view path, std::span<const std::uint8_t> bytes);
OsResult commit_staged_file(std::string_view path);

// Flushes a file that another component wrote (a shell link) to the disk.
OsResult flush_file(std::string_view path);

// Both steps at once.
OsResult replace_file(std::string_view path, std::span<const std::uint8_t> bytes);

// Creates the folder and every missing parent; an existing folder is no error.
OsResult create_folder_chain(std::string_view path);

// Deletes one file; clears a read-only attribute first.
OsResult delete_file(std::string_view path);

// The path the system gives for what the handle refers to, without "\\?\";
// empty when it gives none.
std::wstring final_path_of(HANDLE handle);

// Deletes a folder with everything in it. Links inside it are removed, never
// followed. Whatever cannot be deleted stays.
void delete_tree(std::string_view path);

// True for a path that names a location independent of the current folder:
// a drive and a root ("C:\x") or a UNC/device path ("\\server\share").
bool is_absolute_path(std::string_view path);

}  // namespace virelo::win
