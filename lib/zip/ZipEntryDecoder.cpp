#include "ZipEntryDecoder.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace RYL {

namespace {

constexpr size_t kEncryptionHeaderSize = 12;

uint32_t CrcByte(uint32_t crc, unsigned char c)
{
    static const z_crc_t* table = get_crc_table();
    return uint32_t(table[(crc ^ c) & 0xFF]) ^ (crc >> 8);
}

}  // namespace

uint32_t OutputCrc(InflateEngine engine, uint32_t crc, const unsigned char* data, size_t size)
{
    if (engine == InflateEngine::kIsal) return crc32_gzip_refl(crc, data, size);
    return uint32_t(crc32_z(crc, data, size));
}

uint8_t EncryptionCheckByte(unsigned flags, uint32_t crc, uint32_t dosDateTime)
{
    if (flags & 0x8) return uint8_t(dosDateTime >> 8);
    return uint8_t(crc >> 24);
}

ZipCrypto::ZipCrypto(const std::string& password) : keys_{0x12345678u, 0x23456789u, 0x34567890u}
{
    for (unsigned char c : password) Update(c);
}

void ZipCrypto::Update(unsigned char plain)
{
    keys_[0] = CrcByte(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = CrcByte(keys_[2], uint8_t(keys_[1] >> 24));
}

void ZipCrypto::Decrypt(unsigned char* data, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        uint32_t temp = (keys_[2] | 2) & 0xFFFF;
        unsigned char plain = data[i] ^ uint8_t((temp * (temp ^ 1)) >> 8);
        Update(plain);
        data[i] = plain;
    }
}

EntryDecoder::EntryDecoder(const EntryFormat& format, const char* password, RawRead read,
                           std::vector<unsigned char>& rawBuffer, InflateEngine engine)
    : format_(format),
      password_(password ? password : ""),
      hasPassword_(password != nullptr),
      read_(std::move(read)),
      raw_(rawBuffer),
      crypto_(password_),
      engine_(engine)
{
}

EntryDecoder::~EntryDecoder()
{
    if (inflating_ && !isal_) inflateEnd(&zs_);
}

// After an inflate step that made nothing: true when it took input, or when all was taken and
// more raw data came; false when the entry has no more, or the inflater is stuck.
bool EntryDecoder::MovedOn(size_t rawPosBefore)
{
    if (rawPos_ != rawPosBefore) return true;
    return rawPos_ == rawLen_ && Refill();
}

bool EntryDecoder::Inflate(unsigned char* out, size_t size, size_t& made, bool& streamEnded)
{
    size = std::min<size_t>(size, UINT_MAX);
    if (isal_) {
        isal_->next_in = raw_.data() + rawPos_;
        isal_->avail_in = uint32_t(rawLen_ - rawPos_);
        isal_->next_out = out;
        isal_->avail_out = uint32_t(size);
        int ret = isal_inflate(isal_.get());
        rawPos_ = rawLen_ - isal_->avail_in;
        made = size_t(isal_->next_out - out);
        streamEnded = isal_->block_state == ISAL_BLOCK_FINISH;
        return ret == ISAL_DECOMP_OK || ret == ISAL_END_INPUT || ret == ISAL_OUT_OVERFLOW;
    }
    zs_.next_in = raw_.data() + rawPos_;
    zs_.avail_in = unsigned(rawLen_ - rawPos_);
    zs_.next_out = out;
    zs_.avail_out = unsigned(size);
    int ret = inflate(&zs_, Z_NO_FLUSH);
    rawPos_ = rawLen_ - zs_.avail_in;
    made = size_t(zs_.next_out - out);
    streamEnded = ret == Z_STREAM_END;
    return ret == Z_OK || ret == Z_STREAM_END || (ret == Z_BUF_ERROR && made == 0);
}

bool EntryDecoder::Refill()
{
    if (rawEnded_) return false;
    int n = read_(raw_);
    if (n <= 0) {
        rawEnded_ = true;
        return false;
    }
    if (format_.encrypted) crypto_.Decrypt(raw_.data(), size_t(n));
    rawPos_ = 0;
    rawLen_ = size_t(n);
    return true;
}

EntryDecoder::Status EntryDecoder::Start()
{
    started_ = true;
    if (format_.method != 0 && format_.method != 8) return kError;
    if (format_.encrypted) {
        if (!hasPassword_) return kBadPassword;
        unsigned char header[kEncryptionHeaderSize];
        size_t have = 0;
        while (have < kEncryptionHeaderSize) {
            if (rawPos_ == rawLen_ && !Refill()) return kError;
            size_t n = std::min(kEncryptionHeaderSize - have, rawLen_ - rawPos_);
            std::memcpy(header + have, raw_.data() + rawPos_, n);
            rawPos_ += n;
            have += n;
        }
        if (header[kEncryptionHeaderSize - 1] != format_.checkByte) return kBadPassword;
    }
    if (format_.method == 8) {
        if (engine_ == InflateEngine::kIsal) {
            isal_ = std::make_unique<inflate_state>();
            isal_inflate_init(isal_.get());
            isal_->crc_flag = ISAL_DEFLATE;  // raw deflate, the CRC-32 is checked here
        } else if (inflateInit2(&zs_, -MAX_WBITS) != Z_OK) {
            return kError;
        }
        inflating_ = true;
    }
    return kMoreData;
}

EntryDecoder::Status EntryDecoder::Read(unsigned char* out, size_t size, size_t& got)
{
    got = 0;
    if (status_ != kMoreData) return status_;
    if (!started_) {
        Status s = Start();
        if (s != kMoreData) return Fail(s);
    }
    bool streamEnded = false;
    while (got < size && produced_ < format_.uncompressedSize) {
        size_t want = size_t(std::min<uint64_t>(size - got, format_.uncompressedSize - produced_));
        size_t n;
        if (format_.method == 0) {
            if (rawPos_ == rawLen_ && !Refill()) return Fail(kError);
            n = std::min(want, rawLen_ - rawPos_);
            std::memcpy(out + got, raw_.data() + rawPos_, n);
            rawPos_ += n;
        } else {
            size_t before = rawPos_;
            if (!Inflate(out + got, want, n, streamEnded)) return Fail(kError);
            if (!streamEnded && n == 0 && !MovedOn(before)) return Fail(kError);
        }
        if (!crcByCaller_) crc_ = OutputCrc(engine_, crc_, out + got, n);
        got += n;
        produced_ += n;
        if (streamEnded) {
            if (produced_ != format_.uncompressedSize) return Fail(kError);
            break;
        }
    }
    if (produced_ < format_.uncompressedSize) return kMoreData;
    return Fail(Finish(streamEnded));
}

// All declared bytes are out: the deflate stream must end here and the CRC must match (unless
// the caller checks it).
EntryDecoder::Status EntryDecoder::Finish(bool streamEnded)
{
    while (format_.method == 8 && !streamEnded) {
        unsigned char extra;
        size_t n, before = rawPos_;
        if (!Inflate(&extra, 1, n, streamEnded) || n != 0) return kError;  // n: more than declared
        if (!streamEnded && !MovedOn(before)) return kError;
    }
    return crcByCaller_ || MatchesCrc(crc_) ? kEnd : kError;
}

}  // namespace RYL
