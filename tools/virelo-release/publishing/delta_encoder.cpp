#include "publishing/delta_encoder.h"

#include <bzlib.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/file_io.h"
#include "base/process.h"
#include "common/hex.h"
#include "release/delta_format.h"
#include "release/part_decoder.h"
#include "signing/keys.h"

namespace virelo::tool {
namespace {

constexpr char bsdiff_hint[] =
    "deltas need bsdiff, which is not installed (or not on PATH); install it with 'sudo apt-get install bsdiff' "
    "(Debian, Ubuntu), or publish without deltas (--deltas 0)";

// A patch from bsdiff is at most a few times its target; more means trouble.
constexpr std::uint64_t patch_limit = 4 * download_limit;

// bsdiff's 64-bit numbers: magnitude in 63 bits, sign in the top bit.
std::int64_t offtin(const unsigned char* bytes) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    const auto magnitude = static_cast<std::int64_t>(value & 0x7fffffffffffffffULL);
    return (value >> 63) ? -magnitude : magnitude;
}

void put_u64le(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void put_number(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// One bzip2 block of the patch, inflated, at most `limit` bytes.
Expected<std::string> bunzip(std::string_view packed, std::uint64_t limit, std::string_view what) {
    using Out = Expected<std::string>;
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return Out::failure("cannot start bzip2");
    std::string out;
    std::array<char, 1 << 16> block;
    stream.next_in = const_cast<char*>(packed.data());
    stream.avail_in = static_cast<unsigned>(packed.size());
    int status = BZ_OK;
    while (status == BZ_OK) {
        stream.next_out = block.data();
        stream.avail_out = block.size();
        status = BZ2_bzDecompress(&stream);
        out.append(block.data(), block.size() - stream.avail_out);
        if (out.size() > limit) status = BZ_DATA_ERROR;
        if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out != 0) status = BZ_UNEXPECTED_EOF;
    }
    BZ2_bzDecompressEnd(&stream);
    if (status != BZ_STREAM_END) return Out::failure("bsdiff's " + std::string{what} + " block is damaged");
    return out;
}

// Deflates the records as they are made, so only the compressed form grows.
class Deflater {
public:
    Deflater() { ok_ = deflateInit(&z_, 9) == Z_OK; }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    ~Deflater() { deflateEnd(&z_); }

    bool add(std::string_view bytes, bool last = false) {
        if (!ok_) return false;
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
        z_.avail_in = static_cast<uInt>(bytes.size());
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        int status = Z_OK;
        do {
            z_.next_out = block_.data();
            z_.avail_out = block_.size();
            status = deflate(&z_, flush);
            if (status == Z_STREAM_ERROR) return ok_ = false;
            out_.append(reinterpret_cast<const char*>(block_.data()), block_.size() - z_.avail_out);
        } while (z_.avail_out == 0 || (last && status != Z_STREAM_END));
        return true;
    }
    std::string& output() { return out_; }

private:
    z_stream z_{};
    bool ok_ = false;
    std::array<Bytef, 1 << 16> block_{};
    std::string out_;
};

class HashingSink final : public ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) override {
        hasher_.update({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
        size_ += bytes.size();
        return true;
    }
    FileFacts facts() { return {size_, to_hex_lower(hasher_.finish())}; }

private:
    Sha256 hasher_;
    std::uint64_t size_ = 0;
};

class MemoryBase final : public BaseReader {
public:
    explicit MemoryBase(std::string_view bytes) : bytes_{bytes} {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> into) override {
        if (offset > bytes_.size() || into.size() > bytes_.size() - offset) return false;
        std::memcpy(into.data(), bytes_.data() + offset, into.size());
        return true;
    }

private:
    std::string_view bytes_;
};

Expected<FileFacts> rebuild(PartDecoder& decoder, HashingSink& sink, std::string_view data) {
    const std::span<const std::uint8_t> bytes{reinterpret_cast<const std::uint8_t*>(data.data()), data.size()};
    if (auto fed = decoder.feed(bytes); !fed) return Expected<FileFacts>::failure(fed.error());
    if (auto done = decoder.finish(); !done) return Expected<FileFacts>::failure(done.error());
    return sink.facts();
}

Expected<FileFacts> write_and_describe(const std::string& out, std::string_view bytes) {
    if (auto written = write_new_file(out, bytes, 0644); !written) return Expected<FileFacts>::failure(written.error());
    return FileFacts{bytes.size(), to_hex_lower(sha256(bytes))};
}

}  // namespace

Expected<std::string> delta_from_bsdiff(std::string_view patch, std::uint64_t base_size) {
    using Out = Expected<std::string>;
    constexpr std::size_t head = 32;
    if (patch.size() < head || patch.substr(0, 8) != "BSDIFF40") return Out::failure("not a bsdiff patch");
    const auto* raw = reinterpret_cast<const unsigned char*>(patch.data());
    const std::int64_t ctrl_length = offtin(raw + 8);
    const std::int64_t diff_length = offtin(raw + 16);
    const std::int64_t target_size = offtin(raw + 24);
    if (ctrl_length < 0 || diff_length < 0 || target_size < 0 ||
        static_cast<std::uint64_t>(ctrl_length) > patch.size() - head ||
        static_cast<std::uint64_t>(diff_length) > patch.size() - head - static_cast<std::uint64_t>(ctrl_length)) {
        return Out::failure("the bsdiff patch's lengths do not fit it");
    }
    const auto target = static_cast<std::uint64_t>(target_size);
    const auto ctrl = bunzip(patch.substr(head, static_cast<std::size_t>(ctrl_length)), patch_limit, "control");
    if (!ctrl) return Out::failure(ctrl.error());
    const auto diff = bunzip(patch.substr(head + static_cast<std::size_t>(ctrl_length),
                                          static_cast<std::size_t>(diff_length)),
                             target, "difference");
    if (!diff) return Out::failure(diff.error());
    const auto extra = bunzip(patch.substr(head + static_cast<std::size_t>(ctrl_length + diff_length)), target, "extra");
    if (!extra) return Out::failure(extra.error());
    if (ctrl.value().size() % 24 != 0) return Out::failure("bsdiff's control block is cut");

    // Seek-only triples (bsdiff starts with one when the files begin alike)
    // become the start position or join the seek of the record before.
    struct Triple {
        std::uint64_t add, extra;
        std::int64_t seek;
    };
    std::vector<Triple> records;
    std::int64_t start = 0;
    const auto* c = reinterpret_cast<const unsigned char*>(ctrl.value().data());
    for (std::size_t i = 0; i < ctrl.value().size(); i += 24) {
        const std::int64_t add = offtin(c + i), more = offtin(c + i + 8), seek = offtin(c + i + 16);
        if (add < 0 || more < 0) return Out::failure("bsdiff wrote a negative length");
        if (seek > delta::max_position || seek < -delta::max_position) return Out::failure("bsdiff wrote a huge seek");
        if (add == 0 && more == 0) {
            (records.empty() ? start : records.back().seek) += seek;
            continue;
        }
        records.push_back({static_cast<std::uint64_t>(add), static_cast<std::uint64_t>(more), seek});
    }

    std::string out{delta::magic};
    put_u64le(out, base_size);
    put_u64le(out, target);
    put_u64le(out, static_cast<std::uint64_t>(start));
    Deflater deflater;
    std::uint64_t diff_at = 0, extra_at = 0, made = 0;
    std::int64_t position = start;
    std::string record;
    for (const auto& r : records) {
        // The decoder refuses what bspatch would quietly read as zeros.
        if (r.add != 0 && (position < 0 || static_cast<std::uint64_t>(position) > base_size ||
                           r.add > base_size - static_cast<std::uint64_t>(position))) {
            return Out::failure("bsdiff's patch reads outside the base");
        }
        if (r.add > diff.value().size() - diff_at || r.extra > extra.value().size() - extra_at) {
            return Out::failure("bsdiff's control block asks for more bytes than the patch holds");
        }
        record.clear();
        put_number(record, r.add);
        put_number(record, r.extra);
        put_number(record, delta::zigzag(r.seek));
        record.append(diff.value(), diff_at, r.add);
        record.append(extra.value(), extra_at, r.extra);
        if (!deflater.add(record)) return Out::failure("cannot compress the delta");
        diff_at += r.add;
        extra_at += r.extra;
        made += r.add + r.extra;
        position += static_cast<std::int64_t>(r.add) + r.seek;
        if (position > delta::max_position || position < -delta::max_position) {
            return Out::failure("bsdiff wrote a huge seek");
        }
    }
    if (made != target) return Out::failure("bsdiff's records do not make the whole target");
    if (!deflater.add({}, true)) return Out::failure("cannot compress the delta");
    out += deflater.output();
    return out;
}

Expected<FileFacts> write_delta(const std::string& base, const std::string& target, const std::string& out,
                                const std::string& scratch) {
    using Out = Expected<FileFacts>;
    const auto bsdiff = find_program("bsdiff");
    if (!bsdiff) return Out::failure(bsdiff_hint);
    const auto base_facts = file_facts(base);
    if (!base_facts) return Out::failure(base_facts.error());
    // Named after the delta, so several can be made side by side.
    const std::string patch_path = join_path(scratch, "." + base_name(out) + ".bsdiff");
    ::unlink(patch_path.c_str());
    const auto run = run_program(*bsdiff, {base, target, patch_path});
    if (!run) return Out::failure(run.error());
    if (run.value().exit_code != 0) {
        return Out::failure("bsdiff failed on " + base + " and " + target + ": " + run.value().output);
    }
    const auto patch = read_file(patch_path, patch_limit);
    ::unlink(patch_path.c_str());
    if (!patch) return Out::failure(patch.error());
    const auto delta = delta_from_bsdiff(patch.value(), base_facts.value().size);
    if (!delta) return Out::failure(delta.error());
    return write_and_describe(out, delta.value());
}

Expected<FileFacts> write_gzip_copy(const std::string& source, const std::string& out) {
    using Out = Expected<FileFacts>;
    const auto bytes = read_file(source, download_limit);
    if (!bytes) return Out::failure(bytes.error());
    z_stream z{};
    // 15 + 16: the gzip wrapper, so any gunzip can check the copy too.
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return Out::failure("cannot start zlib");
    }
    std::string packed(deflateBound(&z, bytes.value().size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.value().data()));
    z.avail_in = static_cast<uInt>(bytes.value().size());
    z.next_out = reinterpret_cast<Bytef*>(packed.data());
    z.avail_out = static_cast<uInt>(packed.size());
    const int status = deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) return Out::failure("cannot compress " + source);
    return write_and_describe(out, packed);
}

Expected<FileFacts> rebuild_from_delta(std::string_view base, std::string_view delta, std::uint64_t target_size) {
    MemoryBase reader{base};
    HashingSink sink;
    const auto decoder = make_delta_decoder(reader, sink, target_size);
    return rebuild(*decoder, sink, delta);
}

Expected<FileFacts> rebuild_from_gzip(std::string_view compressed, std::uint64_t target_size) {
    HashingSink sink;
    const auto decoder = make_gzip_decoder(sink, target_size);
    return rebuild(*decoder, sink, compressed);
}

}  // namespace virelo::tool
