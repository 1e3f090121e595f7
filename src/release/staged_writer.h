#pragma once
// Writes the executable to its staged file while it downloads, and digests
// it on the way. The network thread only copies each piece into a block; a
// thread of the writer's own hashes and writes full blocks, so the three
// costs overlap instead of adding up, and at most a few blocks are in memory.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/win/unique_resource.h"
#include "release/digest.h"

namespace virelo {

class StagedWriter {
public:
    // Creates (or truncates) the file; see open_error().
    explicit StagedWriter(std::string path);
    StagedWriter(const StagedWriter&) = delete;
    StagedWriter& operator=(const StagedWriter&) = delete;
    // Unless kept, the staged file is removed: a failed or refused download
    // leaves nothing behind.
    ~StagedWriter();

    // ERROR_SUCCESS when the file was created.
    DWORD open_error() const noexcept { return open_error_; }

    // Queues the bytes; false once a write has failed, so the download stops.
    bool add(std::span<const std::uint8_t> bytes);

    // Writes what is queued, flushes the file to the disk and closes it.
    // ERROR_SUCCESS, or the first error of a write or of the flush.
    DWORD finish();

    std::uint64_t size() const noexcept { return size_; }
    // The digest text of every byte added; valid after finish().
    const std::string& digest_hex() const noexcept { return digest_hex_; }

    // The file stays when the writer goes.
    void keep() noexcept { keep_ = true; }

private:
    using Block = std::vector<std::uint8_t>;

    static DWORD WINAPI thread_entry(void* self);
    void drain();
    void push(Block block);
    DWORD stop_thread();

    std::string path_;
    win::unique_file file_;
    DWORD open_error_ = ERROR_SUCCESS;
    Sha256Hasher hasher_;
    Block filling_;
    std::uint64_t size_ = 0;
    std::string digest_hex_;
    bool finished_ = false;
    bool keep_ = false;

    // Shared with the writing thread.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> queue_;
    bool closing_ = false;
    DWORD write_error_ = ERROR_SUCCESS;
    win::unique_handle thread_;
};

}  // namespace virelo
