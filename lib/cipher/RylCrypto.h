// Turns a text into the Base64 form of its Triple-DES ciphertext and back, reading from and
// writing to texts or files. No state is kept between calls; any thread may call.
#pragma once
#include <cstdint>
#include <string>

namespace RYL {
class CLogQueue;
}

namespace RylCrypto {

// Flags, combined in one byte.
constexpr uint8_t RYLCRYPTO_OUTPUT_FILE = 0x01;  // out_pStr names the file to create and write
constexpr uint8_t RYLCRYPTO_INPUT_FILE = 0x02;   // in_pStr names the file to read
constexpr uint8_t RYLCRYPTO_ECB = 0x04;          // ECB instead of CBC

// Codes of the failure records.
constexpr uint32_t ERR_NULL_ARGUMENT = 0x4002;
constexpr uint32_t ERR_FILE_OPEN = 0x4007;
constexpr uint32_t ERR_ENCRYPT = 0x4008;
constexpr uint32_t ERR_DECRYPT = 0x4009;

// Key entries: index 1 the second, 2 the third, any other the first. The cipher key is the
// entry followed by 16 zero bytes.
extern const uint8_t KeyTable[3][8];
// The CBC initialisation vector is these two words, each written most significant byte first.
constexpr uint32_t kIvHigh = 0x5A3C96E1;
constexpr uint32_t kIvLow = 0x0F7B24D8;

// 0 on success, 1 on failure. A failure is handed to log (when given) as a level-0 record,
// with wParam 1. Nothing is written to out_pStr, and no output file is made, on failure.
uint8_t Encrypt(RYL::CLogQueue* log, const std::wstring* in_pStr, std::wstring* out_pStr,
                uint8_t flags, int keyIndex);
uint8_t Decrypt(RYL::CLogQueue* log, const std::wstring* in_pStr, std::wstring* out_pStr,
                uint8_t flags, int keyIndex);

}  // namespace RylCrypto
