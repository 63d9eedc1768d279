#include "ZipEntryDecoder.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace RYL {

namespace {

constexpr size_t kEncryptionHeaderSize = 12;

uint32_t CrcByte(uint32_t crc, unsigned char c)
{
    static const z_crc_t* table = get_crc_table();
    return uint32_t(table[(crc ^ c) & 0xFF]) ^ (crc >> 8);
}

}  // namespace

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
                           std::vector<unsigned char>& rawBuffer)
    : format_(format),
      password_(password ? password : ""),
      hasPassword_(password != nullptr),
      read_(std::move(read)),
      raw_(rawBuffer),
      crypto_(password_)
{
}

EntryDecoder::~EntryDecoder()
{
    if (inflating_) inflateEnd(&zs_);
}

bool EntryDecoder::Refill()
{
    if (rawEnded_) return false;
    int n = read_(raw_.data(), unsigned(raw_.size()));
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
        if (inflateInit2(&zs_, -MAX_WBITS) != Z_OK) return kError;
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
            zs_.next_in = raw_.data() + rawPos_;
            zs_.avail_in = unsigned(rawLen_ - rawPos_);
            zs_.next_out = out + got;
            zs_.avail_out = unsigned(std::min<size_t>(want, UINT_MAX));
            int ret = inflate(&zs_, Z_NO_FLUSH);
            rawPos_ = rawLen_ - zs_.avail_in;
            n = size_t(zs_.next_out - (out + got));
            if (ret == Z_STREAM_END) {
                streamEnded = true;
            } else if (ret == Z_BUF_ERROR && zs_.avail_in == 0) {
                if (!Refill()) return Fail(kError);  // inflate wants input the entry lacks
            } else if (ret != Z_OK) {
                return Fail(kError);
            }
        }
        crc_ = uint32_t(crc32(crc_, out + got, unsigned(n)));
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

// All declared bytes are out: the deflate stream must end here and the CRC must match.
EntryDecoder::Status EntryDecoder::Finish(bool streamEnded)
{
    while (format_.method == 8 && !streamEnded) {
        unsigned char extra;
        zs_.next_in = raw_.data() + rawPos_;
        zs_.avail_in = unsigned(rawLen_ - rawPos_);
        zs_.next_out = &extra;
        zs_.avail_out = 1;
        int ret = inflate(&zs_, Z_NO_FLUSH);
        rawPos_ = rawLen_ - zs_.avail_in;
        if (zs_.avail_out == 0) return kError;  // more data than the entry declares
        if (ret == Z_STREAM_END) {
            streamEnded = true;
        } else if (ret == Z_BUF_ERROR && zs_.avail_in == 0) {
            if (!Refill()) return kError;
        } else if (ret != Z_OK) {
            return kError;
        }
    }
    return crc_ == format_.crc ? kEnd : kError;
}

}  // namespace RYL
