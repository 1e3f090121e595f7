#include "release/staged_writer.h"

#include <algorithm>
#include <utility>

#include "common/win/files.h"
#include "common/win/wide.h"
#include "foundation/diagnostic_log.h"

namespace virelo {
namespace {

constexpr std::size_t block_size = 1024 * 1024;
// Blocks waiting for the writer: the network side pauses beyond this, so
// memory stays bounded however slow the disk.
constexpr std::size_t queue_limit = 4;

}  // namespace

StagedWriter::StagedWriter(std::string path) : path_{std::move(path)} {
    file_.reset(CreateFileW(win::to_wide(path_).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) {
        open_error_ = GetLastError();
        finished_ = true;
        return;
    }
    thread_.reset(CreateThread(nullptr, 0, thread_entry, this, 0, nullptr));
    // Without a thread of its own the writer writes on the caller's thread.
}

StagedWriter::~StagedWriter() {
    if (!finished_) {
        // Abandoned: what is still queued is not worth writing.
        const std::lock_guard lock{mutex_};
        queue_.clear();
    }
    stop_thread();
    file_.reset();
    if (!keep_ && open_error_ == ERROR_SUCCESS) log_ignored("removing the staged download", win::delete_file(path_));
}

DWORD WINAPI StagedWriter::thread_entry(void* self) {
    static_cast<StagedWriter*>(self)->drain();
    return 0;
}

// The writing thread: each block is digested, then written, in order.
void StagedWriter::drain() {
    for (;;) {
        Block block;
        {
            std::unique_lock lock{mutex_};
            changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
            if (queue_.empty()) return;
            block = std::move(queue_.front());
            queue_.pop_front();
        }
        changed_.notify_all();
        hasher_.add(block);
        std::size_t done = 0;
        while (done < block.size()) {
            DWORD written = 0;
            const auto chunk = static_cast<DWORD>(block.size() - done);
            if (!WriteFile(file_.get(), block.data() + done, chunk, &written, nullptr) || written == 0) {
                const DWORD error = GetLastError();
                const std::lock_guard lock{mutex_};
                write_error_ = error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
                queue_.clear();
                changed_.notify_all();
                return;
            }
            done += written;
        }
    }
}

void StagedWriter::push(Block block) {
    if (!thread_) {
        // No thread: write here, in the same order.
        queue_.push_back(std::move(block));
        closing_ = true;
        drain();
        closing_ = false;
        return;
    }
    std::unique_lock lock{mutex_};
    changed_.wait(lock, [this] { return queue_.size() < queue_limit || write_error_ != ERROR_SUCCESS; });
    if (write_error_ != ERROR_SUCCESS) return;
    queue_.push_back(std::move(block));
    changed_.notify_all();
}

bool StagedWriter::add(std::span<const std::uint8_t> bytes) {
    if (finished_) return false;
    size_ += bytes.size();
    while (!bytes.empty()) {
        if (filling_.capacity() == 0) filling_.reserve(block_size);
        const std::size_t room = block_size - filling_.size();
        const std::size_t taken = std::min(room, bytes.size());
        filling_.insert(filling_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(taken));
        bytes = bytes.subspan(taken);
        if (filling_.size() == block_size) push(std::exchange(filling_, {}));
    }
    const std::lock_guard lock{mutex_};
    return write_error_ == ERROR_SUCCESS;
}

DWORD StagedWriter::stop_thread() {
    if (thread_) {
        {
            const std::lock_guard lock{mutex_};
            closing_ = true;
        }
        changed_.notify_all();
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
    }
    const std::lock_guard lock{mutex_};
    return write_error_;
}

DWORD StagedWriter::finish() {
    if (finished_) return open_error_ != ERROR_SUCCESS ? open_error_ : ERROR_INVALID_FUNCTION;
    finished_ = true;
    if (!filling_.empty()) push(std::exchange(filling_, {}));
    DWORD error = stop_thread();
    // On the disk before it is swapped in: after a power cut the installed
    // name must never point at data the disk has not got.
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file_.get())) error = GetLastError();
    file_.reset();
    digest_hex_ = hasher_.finish_hex();
    return error;
}

}  // namespace virelo
