#include "release/part_decoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "release/delta_format.h"

namespace virelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

class MemoryBase final : public BaseReader {
public:
    explicit MemoryBase(Bytes bytes) : bytes_{std::move(bytes)} {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read_at(std::uint64_t offset, std::span<std::uint8_t> into) override {
        ++reads;
        if (fail_reads || offset > bytes_.size() || into.size() > bytes_.size() - offset) return false;
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
        return true;
    }
    int reads = 0;
    bool fail_reads = false;

private:
    Bytes bytes_;
};

class MemorySink final : public ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) override {
        if (refuse) return false;
        data.insert(data.end(), bytes.begin(), bytes.end());
        return true;
    }
    Bytes data;
    bool refuse = false;
};

// One record of a delta, as the encoder writes it.
struct Record {
    std::uint64_t add;
    Bytes added;  // the differences, `add` of them
    Bytes extra;
    std::int64_t seek;
};

void put_number(Bytes& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

Bytes record_stream(const std::vector<Record>& records) {
    Bytes raw;
    for (const auto& r : records) {
        put_number(raw, r.add);
        put_number(raw, r.extra.size());
        put_number(raw, delta::zigzag(r.seek));
        raw.insert(raw.end(), r.added.begin(), r.added.end());
        raw.insert(raw.end(), r.extra.begin(), r.extra.end());
    }
    return raw;
}

Bytes zlib_compress(const Bytes& raw) {
    uLongf size = compressBound(raw.size());
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), raw.size(), 9), Z_OK);
    out.resize(size);
    return out;
}

Bytes header(std::uint64_t base_size, std::uint64_t target_size, std::string_view magic = delta::magic,
             std::int64_t start = 0) {
    Bytes out{magic.begin(), magic.end()};
    for (const std::uint64_t value : {base_size, target_size, static_cast<std::uint64_t>(start)}) {
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return out;
}

Bytes delta_of(std::uint64_t base_size, std::uint64_t target_size, const Bytes& raw_records, std::int64_t start = 0) {
    Bytes out = header(base_size, target_size, delta::magic, start);
    const Bytes packed = zlib_compress(raw_records);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

struct Outcome {
    bool ok;
    std::string error;
    Bytes made;
};

// Feeds the delta in pieces of `piece` bytes, as a download would.
Outcome apply(const Bytes& base_bytes, const Bytes& delta, std::uint64_t target_size, std::size_t piece = 7) {
    MemoryBase base{base_bytes};
    MemorySink sink;
    const auto decoder = make_delta_decoder(base, sink, target_size);
    for (std::size_t at = 0; at < delta.size(); at += piece) {
        const std::size_t n = std::min(piece, delta.size() - at);
        if (auto fed = decoder->feed({delta.data() + at, n}); !fed) return {false, fed.error(), sink.data};
    }
    if (auto done = decoder->finish(); !done) return {false, done.error(), sink.data};
    return {true, {}, sink.data};
}

const Bytes base = bytes_of("The quick brown fox jumps over the lazy dog");

TEST(DeltaDecoder, RebuildsFromAddedAndExtraBytes) {
    // "The quick red fox": 10 bytes copied, 3 new, then a copy from "fox" on.
    const Bytes target = bytes_of("The quick red fox jumps over the lazy dog!");
    const std::vector<Record> records = {
        {10, zeros(10), bytes_of("red "), 6},  // skip "brown " in the base
        {27, zeros(27), bytes_of("!"), 0},
    };
    for (const std::size_t piece : {std::size_t{4096}, std::size_t{7}, std::size_t{1}}) {
        const auto out = apply(base, delta_of(base.size(), target.size(), record_stream(records)), target.size(), piece);
        ASSERT_TRUE(out.ok) << out.error << " with pieces of " << piece;
        EXPECT_EQ(out.made, target);
    }
}

TEST(DeltaDecoder, AddedBytesAreSummedWithTheBaseAndReadsMayOverlapAndGoBack) {
    // The same base bytes read twice (a backward seek), once with a difference of 1 each.
    Bytes ones(3, 1);
    const std::vector<Record> records = {{3, zeros(3), {}, -3}, {3, ones, {}, 0}};
    const auto out = apply(base, delta_of(base.size(), 6, record_stream(records)), 6);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.made, bytes_of("TheUif"));
}

TEST(DeltaDecoder, TheFirstRecordStartsWhereTheHeaderSays) {
    const auto out = apply(base, delta_of(base.size(), 3, record_stream({{3, zeros(3), {}, 0}}), 40), 3);
    ASSERT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.made, bytes_of("dog"));
}

TEST(DeltaDecoder, RefusesDamagedDeltas) {
    const Bytes good_records = record_stream({{10, zeros(10), bytes_of("red"), 6}});
    const Bytes good = delta_of(base.size(), 13, good_records);
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes flipped = good;
    flipped[flipped.size() - 3] ^= 0x40;
    Bytes long_number(11, 0xFF);
    long_number.push_back(0);
    Bytes too_large_number(9, 0xFF);
    too_large_number.push_back(0x02);

    struct Case {
        const char* name;
        Bytes delta;
        std::uint64_t target_size;
        std::string error;
    };
    const Case cases[] = {
        {"cut in the header", Bytes(good.begin(), good.begin() + 20), 13, "damaged: the delta ends early"},
        {"cut in the stream", Bytes(good.begin(), good.end() - 4), 13, "damaged: the delta ends early"},
        {"bytes after the stream", trailing, 13, "damaged: bytes after the end of the delta"},
        {"flipped stream byte", flipped, 13, ""},
        {"another magic", [] {
             Bytes d = header(43, 1, "VRDELTA2");
             const Bytes z = zlib_compress({});
             d.insert(d.end(), z.begin(), z.end());
             return d;
         }(), 1, "damaged: not a delta"},
        {"another base", delta_of(base.size() + 1, 13, good_records), 13, decoder_other_base},
        {"another target size", delta_of(base.size(), 14, good_records), 13,
         "damaged: the delta makes a file of another size"},
        {"records beyond the target", delta_of(base.size(), 12, good_records), 12,
         "damaged: records beyond the target's size"},
        {"records short of the target", delta_of(base.size(), 14, good_records), 14, "damaged: the delta ends early"},
        {"add past the base's end", delta_of(base.size(), 44, record_stream({{44, zeros(44), {}, 0}})), 44,
         "damaged: a record reads outside the base"},
        {"add before the base's start",
         delta_of(base.size(), 2, record_stream({{0, {}, bytes_of("a"), -5}, {1, zeros(1), {}, 0}})), 2,
         "damaged: a record reads outside the base"},
        {"empty record", delta_of(base.size(), 1, record_stream({{0, {}, {}, 0}})), 1,
         "damaged: a record that makes nothing"},
        {"start past the base", delta_of(base.size(), 3, record_stream({{3, zeros(3), {}, 0}}), 41), 3,
         "damaged: a record reads outside the base"},
        {"start out of range", delta_of(base.size(), 3, record_stream({{3, zeros(3), {}, 0}}), -delta::max_position - 1),
         3, "damaged: a seek out of range"},
        {"seek out of range",
         delta_of(base.size(), 1, record_stream({{0, {}, bytes_of("a"), delta::max_position + 1}})), 1,
         "damaged: a seek out of range"},
        {"number of eleven bytes", delta_of(base.size(), 1, long_number), 1, "damaged: a number is too large"},
        {"number beyond 64 bits", delta_of(base.size(), 1, too_large_number), 1, "damaged: a number is too large"},
        {"record cut inside its numbers", delta_of(base.size(), 1, Bytes{0x00, 0x81}), 1,
         "damaged: the delta ends early"},
        {"huge counts", [] {
             Bytes raw;
             put_number(raw, UINT64_MAX);
             put_number(raw, UINT64_MAX);
             put_number(raw, 0);
             return delta_of(base.size(), 10, raw);
         }(), 10, "damaged: records beyond the target's size"},
    };
    for (const auto& c : cases) {
        const auto out = apply(base, c.delta, c.target_size);
        EXPECT_FALSE(out.ok) << c.name;
        if (!c.error.empty()) EXPECT_EQ(out.error, c.error) << c.name;
        EXPECT_LE(out.made.size(), c.target_size) << c.name;
    }
}

TEST(DeltaDecoder, StopsWhenTheBaseOrTheSinkFails) {
    const Bytes delta = delta_of(base.size(), 10, record_stream({{10, zeros(10), {}, 0}}));
    {
        MemoryBase unreadable{base};
        unreadable.fail_reads = true;
        MemorySink sink;
        const auto decoder = make_delta_decoder(unreadable, sink, 10);
        const auto fed = decoder->feed(delta);
        ASSERT_FALSE(fed);
        EXPECT_EQ(fed.error(), decoder_unreadable_base);
        EXPECT_FALSE(decoder->finish());
    }
    {
        MemoryBase readable{base};
        MemorySink refusing;
        refusing.refuse = true;
        const auto decoder = make_delta_decoder(readable, refusing, 10);
        const auto fed = decoder->feed(delta);
        ASSERT_FALSE(fed);
        EXPECT_EQ(fed.error(), decoder_refused_write);
    }
}

TEST(DeltaDecoder, ReadsTheBaseThroughAWindowNotByteByByte) {
    // A large base copied whole in many records: a few reads serve them all.
    Bytes big(1 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<Record> records;
    for (std::size_t at = 0; at < big.size(); at += 4096) records.push_back({4096, zeros(4096), {}, 0});
    MemoryBase reader{big};
    MemorySink sink;
    const auto decoder = make_delta_decoder(reader, sink, big.size());
    ASSERT_TRUE(decoder->feed(delta_of(big.size(), big.size(), record_stream(records))));
    ASSERT_TRUE(decoder->finish());
    EXPECT_EQ(sink.data, big);
    EXPECT_LE(reader.reads, 8);
}

Bytes gzip_of(const Bytes& raw) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&z, raw.size()) + 32);
    z.next_in = const_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(GzipDecoder, InflatesOneMemberWithinTheSize) {
    Bytes payload(300000);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>((i / 3) % 251);
    const Bytes packed = gzip_of(payload);
    Bytes trailing = packed;
    trailing.push_back('x');
    Bytes twice = packed;
    twice.insert(twice.end(), packed.begin(), packed.end());
    Bytes flipped = packed;
    flipped[flipped.size() / 2] ^= 0x10;
    const Bytes zlib_instead = zlib_compress(payload);

    struct Case {
        const char* name;
        Bytes data;
        std::uint64_t size;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        {"whole", packed, payload.size(), true, ""},
        {"cut", Bytes(packed.begin(), packed.end() - 10), payload.size(), false,
         "damaged: the compressed data ends early"},
        {"trailing byte", trailing, payload.size(), false, "damaged: bytes after the end of the compressed data"},
        {"two members", twice, 2 * payload.size(), false, "damaged: bytes after the end of the compressed data"},
        {"flipped byte", flipped, payload.size(), false, ""},
        {"zlib, not gzip", zlib_instead, payload.size(), false, "damaged: not a valid gzip stream"},
        {"larger than the release", packed, payload.size() - 1, false,
         "damaged: it inflates beyond the release's size"},
    };
    for (const auto& c : cases) {
        MemorySink sink;
        const auto decoder = make_gzip_decoder(sink, c.size);
        Result result = Result::success();
        for (std::size_t at = 0; at < c.data.size() && result; at += 1000) {
            result = decoder->feed({c.data.data() + at, std::min<std::size_t>(1000, c.data.size() - at)});
        }
        if (result) result = decoder->finish();
        EXPECT_EQ(result.ok(), c.ok) << c.name;
        if (!c.ok && !c.error.empty()) EXPECT_EQ(result.error(), c.error) << c.name;
        if (c.ok) EXPECT_EQ(sink.data, payload) << c.name;
        EXPECT_LE(sink.data.size(), c.size) << c.name;
    }
}

}  // namespace
}  // namespace virelo
