// Turns the raw bytes of one zip entry into its data: traditional zip decryption, stored or
// deflated data, and a check of the size and CRC-32 at the end. Deflated data and the CRC-32 go
// through ISA-L's inflater, or zlib's, the reference the tests hold the other to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <zlib.h>

struct inflate_state;

namespace RYL {

enum class InflateEngine { kZlib, kIsal };
constexpr InflateEngine kDefaultInflateEngine = InflateEngine::kIsal;

struct EntryFormat {
    int method = 0;                // 0 stored, 8 deflated
    bool encrypted = false;        // traditional zip encryption (flag bit 0)
    uint8_t checkByte = 0;         // last byte of the decrypted encryption header must match
    uint32_t crc = 0;
    uint64_t compressedSize = 0;   // raw bytes, encryption header included
    uint64_t uncompressedSize = 0;
};

// CRC-32 of data, continued from crc, with the engine's own routine (both give the same value).
uint32_t OutputCrc(InflateEngine engine, uint32_t crc, const unsigned char* data, size_t size);

// The check byte of the encryption header: the CRC's high byte, or with a data descriptor
// (flag bit 3) the high byte of the DOS time.
uint8_t EncryptionCheckByte(unsigned flags, uint32_t crc, uint32_t dosDateTime);

// Traditional PKWARE stream cipher.
class ZipCrypto {
public:
    explicit ZipCrypto(const std::string& password);
    void Decrypt(unsigned char* data, size_t size);

private:
    void Update(unsigned char plain);
    uint32_t keys_[3];
};

class EntryDecoder {
public:
    // Puts the next raw bytes at the start of buffer, at most its size, or swaps in a buffer of
    // its own of that size holding them: a count above 0, 0 at the end of the raw data, below 0
    // on failure.
    using RawRead = std::function<int(std::vector<unsigned char>& buffer)>;
    enum Status { kMoreData, kEnd, kBadPassword, kError };

    // password may be null (an encrypted entry then fails with kBadPassword).
    EntryDecoder(const EntryFormat& format, const char* password, RawRead read,
                 std::vector<unsigned char>& rawBuffer, InflateEngine engine = kDefaultInflateEngine);
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder&) = delete;
    EntryDecoder& operator=(const EntryDecoder&) = delete;

    // Fills up to size bytes. kMoreData: the buffer is full and the entry goes on; kEnd: the
    // entry ended with the right size and CRC (got may be 0). After an error or the end every
    // call repeats that status.
    Status Read(unsigned char* out, size_t size, size_t& got);

    // For a caller that computes the CRC-32 of the data itself (elsewhere, while the next data is
    // decoded): Read then checks only the size and the end of the stream, and the caller's figure
    // is checked with MatchesCrc once all data is out.
    void LeaveCrcToCaller() { crcByCaller_ = true; }
    bool MatchesCrc(uint32_t crc) const { return crc == format_.crc; }
    InflateEngine Engine() const { return engine_; }

private:
    Status Start();
    bool Refill();
    // One inflate step into out (at most size bytes): the bytes made, the end of the deflate
    // stream seen, false for invalid data.
    bool Inflate(unsigned char* out, size_t size, size_t& made, bool& streamEnded);
    bool MovedOn(size_t rawPosBefore);
    Status Finish(bool streamEnded);
    Status Fail(Status s) { return status_ = s; }

    EntryFormat format_;
    std::string password_;
    bool hasPassword_;
    RawRead read_;
    std::vector<unsigned char>& raw_;
    ZipCrypto crypto_;
    InflateEngine engine_;
    z_stream zs_{};
    std::unique_ptr<inflate_state> isal_;  // ISA-L's state, about 80 KB
    bool inflating_ = false;
    bool started_ = false;
    bool rawEnded_ = false;
    size_t rawPos_ = 0, rawLen_ = 0;
    uint64_t produced_ = 0;
    uint32_t crc_ = 0;
    bool crcByCaller_ = false;
    Status status_ = kMoreData;
};

}  // namespace RYL
