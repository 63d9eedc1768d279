#include "RylCrypto.h"

#include "LogQueue.h"
#include "LogRecord.h"
#include "OleDateTime.h"
#include "Paths.h"
#include "Text.h"

#include <cryptopp/base64.h>
#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/modes.h>
#include <cryptopp/secblock.h>

#include <algorithm>
#include <optional>

namespace RylCrypto {

const uint8_t KeyTable[3][8] = {
    {0x6B, 0x1D, 0xE4, 0x37, 0xA2, 0x58, 0xC9, 0x0E},
    {0x3F, 0x92, 0x71, 0xD6, 0x0B, 0xEA, 0x45, 0x88},
    {0xC4, 0x27, 0x5E, 0x9B, 0x13, 0x7A, 0xF0, 0x61},
};

namespace {

constexpr size_t kKeySize = CryptoPP::DES_EDE3::DEFAULT_KEYLENGTH;  // 24
constexpr size_t kBlock = CryptoPP::DES_EDE3::BLOCKSIZE;            // 8
constexpr int kBase64LineLength = 72;

// The call's key and IV; SecByteBlock overwrites them with zeros when they are released.
struct KeyMaterial {
    CryptoPP::SecByteBlock key{kKeySize};
    CryptoPP::SecByteBlock iv{kBlock};

    explicit KeyMaterial(int keyIndex) {
        const uint8_t* entry = KeyTable[keyIndex == 1 ? 1 : keyIndex == 2 ? 2 : 0];
        std::fill(key.begin(), key.end(), 0);
        std::copy(entry, entry + 8, key.begin());
        for (int i = 0; i < 4; ++i) {
            iv[i] = static_cast<uint8_t>(kIvHigh >> (24 - 8 * i));
            iv[4 + i] = static_cast<uint8_t>(kIvLow >> (24 - 8 * i));
        }
    }
};

void Log(RYL::CLogQueue* log, uint32_t code, const std::wstring& text) {
    if (!log) return;
    RYL::tagLogRecord record;
    record.nLevel = RYL::LOG_LEVEL_ERROR;
    record.dtTime = RYL::COleDateTime::GetCurrentTime();
    record.dwCode = code;
    record.SetText(text);
    log->Hand(record, 1);
}

// The file's lines joined without their line ends (LF, or CR LF as a text file reads it).
// Nothing when the file cannot be opened or read.
std::optional<std::wstring> ReadJoinedLines(const std::wstring& name) {
    std::string bytes;
    if (!plat::ReadFileContents(name, &bytes)) return std::nullopt;
    std::string joined;
    joined.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') continue;
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        joined += bytes[i];
    }
    return plat::WideFromNarrow(joined);
}

std::string Encipher(const std::string& plain, const KeyMaterial& km, bool ecb) {
    std::string encoded;
    auto* sink = new CryptoPP::Base64Encoder(new CryptoPP::StringSink(encoded), true, kBase64LineLength);
    if (ecb) {
        CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Encryption mode(km.key, km.key.size());
        CryptoPP::StringSource(plain, true, new CryptoPP::StreamTransformationFilter(mode, sink));
    } else {
        CryptoPP::CBC_Mode<CryptoPP::DES_EDE3>::Encryption mode(km.key, km.key.size(), km.iv);
        CryptoPP::StringSource(plain, true, new CryptoPP::StreamTransformationFilter(mode, sink));
    }
    return encoded;
}

std::string Decipher(const std::string& encoded, const KeyMaterial& km, bool ecb) {
    std::string cipher;
    CryptoPP::StringSource(encoded, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(cipher)));
    std::string plain;
    auto* sink = new CryptoPP::StringSink(plain);
    if (ecb) {
        CryptoPP::ECB_Mode<CryptoPP::DES_EDE3>::Decryption mode(km.key, km.key.size());
        CryptoPP::StringSource(cipher, true, new CryptoPP::StreamTransformationFilter(mode, sink));
    } else {
        CryptoPP::CBC_Mode<CryptoPP::DES_EDE3>::Decryption mode(km.key, km.key.size(), km.iv);
        CryptoPP::StringSource(cipher, true, new CryptoPP::StreamTransformationFilter(mode, sink));
    }
    CryptoPP::SecureWipeBuffer(reinterpret_cast<CryptoPP::byte*>(cipher.data()), cipher.size());
    return plain;
}

enum class Direction { Encrypt, Decrypt };

uint8_t Run(Direction direction, RYL::CLogQueue* log, const std::wstring* in_pStr, std::wstring* out_pStr,
            uint8_t flags, int keyIndex) {
    const bool encrypt = direction == Direction::Encrypt;
    const std::wstring who = encrypt ? L"[RylCrypto::Encrypt]: " : L"[RylCrypto::Decrypt]: ";
    if (!in_pStr || !out_pStr) {
        Log(log, ERR_NULL_ARGUMENT, who + (!in_pStr ? L"in_pStr is NULL" : L"out_pStr is NULL"));
        return 1;
    }
    try {
        const KeyMaterial km(keyIndex);

        std::wstring input;
        if (flags & RYLCRYPTO_INPUT_FILE) {
            std::optional<std::wstring> read = ReadJoinedLines(*in_pStr);
            if (!read) {
                Log(log, ERR_FILE_OPEN, who + L"Open \"" + *in_pStr + L"\" failure");
                return 1;
            }
            input = std::move(*read);
        } else {
            input = *in_pStr;
        }

        const bool ecb = (flags & RYLCRYPTO_ECB) != 0;
        std::string output;
        if (encrypt) {
            output = Encipher(plat::NarrowFromWide(input), km, ecb);
        } else {
            output = Decipher(plat::NarrowFromWide(input), km, ecb);
        }

        if (flags & RYLCRYPTO_OUTPUT_FILE) {
            // A file takes every byte, or keeps what it held; a text ends at its first zero byte.
            if (!plat::ReplaceFileContents(*out_pStr, output)) {
                Log(log, ERR_FILE_OPEN, who + L"Open \"" + *out_pStr + L"\" failure");
                return 1;
            }
        } else {
            *out_pStr = plat::WideFromNarrow(output.substr(0, output.find('\0')));
        }
        return 0;
    } catch (const std::exception& e) {
        Log(log, encrypt ? ERR_ENCRYPT : ERR_DECRYPT, plat::WideFromNarrow(e.what()));
        return 1;
    }
}

}  // namespace

uint8_t Encrypt(RYL::CLogQueue* log, const std::wstring* in_pStr, std::wstring* out_pStr, uint8_t flags,
                int keyIndex) {
    return Run(Direction::Encrypt, log, in_pStr, out_pStr, flags, keyIndex);
}

uint8_t Decrypt(RYL::CLogQueue* log, const std::wstring* in_pStr, std::wstring* out_pStr, uint8_t flags,
                int keyIndex) {
    return Run(Direction::Decrypt, log, in_pStr, out_pStr, flags, keyIndex);
}

}  // namespace RylCrypto
