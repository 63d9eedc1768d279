#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ZipEntryDecoder.h"

using namespace RYL;

namespace {

// Raw deflate of data at a zlib level (0: stored blocks inside the deflate stream).
std::string Deflate(const std::string& data, int level)
{
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, uLong(data.size())) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = uInt(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

uint32_t Crc(const std::string& s)
{
    return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(s.data()), uInt(s.size())));
}

struct Decoded {
    EntryDecoder::Status status;
    std::string data;
};

// Decodes raw bytes read rawChunk at a time into blocks of outBlock bytes.
Decoded Decode(InflateEngine engine, const EntryFormat& format, const std::string& raw, size_t rawChunk,
               size_t outBlock)
{
    size_t at = 0;
    auto read = [&](std::vector<unsigned char>& buffer) {
        size_t n = std::min<size_t>(buffer.size(), raw.size() - at);
        std::copy_n(raw.data() + at, n, buffer.data());
        at += n;
        return int(n);
    };
    std::vector<unsigned char> rawBuffer(rawChunk), out(outBlock);
    EntryDecoder decoder(format, nullptr, read, rawBuffer, engine);
    Decoded d{EntryDecoder::kMoreData, {}};
    while (d.status == EntryDecoder::kMoreData) {
        size_t got = 0;
        d.status = decoder.Read(out.data(), out.size(), got);
        d.data.append(reinterpret_cast<const char*>(out.data()), got);
    }
    return d;
}

std::string Noise(size_t size, uint32_t seed)
{
    std::string s(size, '\0');
    for (char& c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return s;
}

// Runs of zeros, text and noise, like an image.
std::string Mixed(size_t size)
{
    std::string s;
    for (uint32_t i = 0; s.size() < size; ++i) {
        s += std::string(1000 + i * 37 % 5000, '\0');
        for (int k = 0; k < 50; ++k) s += "boot record " + std::to_string(i + k) + "\n";
        s += Noise(700 + i * 13 % 3000, i);
    }
    s.resize(size);
    return s;
}

const InflateEngine kEngines[] = {InflateEngine::kZlib, InflateEngine::kIsal};

}  // namespace

// Every stream shape, read in any chunking, gives the same bytes through either inflater.
TEST(ZipEntryDecoder, BothInflatersGiveTheData)
{
    const std::string inputs[] = {"", "hello", Noise(70000, 1), std::string(700000, '\0'), Mixed(400000)};
    struct Chunking { size_t raw, out; } chunkings[] = {{1, 262144}, {13, 1}, {65536, 1000}, {262144, 262144}};
    for (const std::string& data : inputs) {
        for (int level : {0, 1, 9}) {
            const std::string raw = Deflate(data, level);
            EntryFormat format;
            format.method = 8;
            format.crc = Crc(data);
            format.compressedSize = raw.size();
            format.uncompressedSize = data.size();
            for (const Chunking& c : chunkings) {
                if ((c.out < 1000 && data.size() > 100000) || (c.raw < 1000 && raw.size() > 100000))
                    continue;  // one call per byte: slow
                for (InflateEngine engine : kEngines) {
                    Decoded d = Decode(engine, format, raw, c.raw, c.out);
                    EXPECT_EQ(d.status, EntryDecoder::kEnd)
                        << data.size() << " bytes, level " << level << ", chunks " << c.raw << "/" << c.out
                        << ", engine " << int(engine);
                    EXPECT_TRUE(d.data == data);
                }
            }
        }
    }
}

// A damaged or mis-declared entry is an error through either inflater, never data that passes.
TEST(ZipEntryDecoder, BothInflatersRefuseWhatDoesNotMatch)
{
    const std::string data = Mixed(300000);
    const std::string raw = Deflate(data, 6);
    std::string flipped = raw;
    flipped[raw.size() / 2] = char(flipped[raw.size() / 2] ^ 0x5A);
    struct Case {
        const char* what;
        std::string raw;
        uint64_t size;
        uint32_t crc;
        EntryDecoder::Status status;
    } cases[] = {
        {"as written", raw, data.size(), Crc(data), EntryDecoder::kEnd},
        {"bytes after the stream", raw + "trailing", data.size(), Crc(data), EntryDecoder::kEnd},
        {"stream cut short", raw.substr(0, raw.size() - 5), data.size(), Crc(data), EntryDecoder::kError},
        {"stream cut in half", raw.substr(0, raw.size() / 2), data.size(), Crc(data), EntryDecoder::kError},
        {"declared smaller", raw, data.size() - 1, Crc(data.substr(0, data.size() - 1)), EntryDecoder::kError},
        {"declared larger", raw, data.size() + 1, Crc(data), EntryDecoder::kError},
        {"wrong CRC-32", raw, data.size(), Crc(data) ^ 1, EntryDecoder::kError},
        {"a byte changed", flipped, data.size(), Crc(data), EntryDecoder::kError},
        {"reserved block type", std::string("\x07\x00\x00", 3), 10, 0, EntryDecoder::kError},
        {"no data at all", "", 10, 0, EntryDecoder::kError},
    };
    for (const Case& c : cases) {
        EntryFormat format;
        format.method = 8;
        format.crc = c.crc;
        format.compressedSize = c.raw.size();
        format.uncompressedSize = c.size;
        for (size_t rawChunk : {size_t(7), size_t(262144)}) {
            for (InflateEngine engine : kEngines) {
                EXPECT_EQ(Decode(engine, format, c.raw, rawChunk, 262144).status, c.status)
                    << c.what << ", chunk " << rawChunk << ", engine " << int(engine);
            }
        }
    }
}
