// The simulated SEP's signed header block and the images built around it.
//
// Inside the 480-byte header block (all numbers little-endian):
//   0   "ZSIG"
//   4   image type
//   8   SHA-256 digest of the image data (32 bytes)
//   128 VRL header: 52 F0 9F E5, data offset at +32, data size in words at +36
//   224 RSA-2048 PKCS#1 v1.5 signature over SHA-256 of bytes 0-223, by the key of the key index
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sepsim {

constexpr uint32_t kHeaderBlockSize = 480;
constexpr uint32_t kOsHeaderSize = 512;
constexpr uint32_t kVrlOffset = 128;
constexpr uint32_t kSignedPart = 224;
constexpr uint32_t kKeyCount = 5;

// Verdicts of the VerifyImage request.
constexpr uint32_t kVerifyOk = 0;
constexpr uint32_t kVerifyBadSignature = 1;
constexpr uint32_t kVerifyWrongType = 2;
constexpr uint32_t kVerifyWrongDigest = 3;
constexpr uint32_t kVerifyNoKey = 4;

// Directory of the test keys "key0.pem" to "key4.pem".
std::string KeyDirectory();
void SetKeyDirectory(const std::string& directory);

std::vector<uint8_t> Sha256(const uint8_t* data, size_t length);

// A signed header block; dataOffset and sizeWords go into the VRL header as given.
std::vector<uint8_t> BuildHeaderBlock(int keyIndex, uint32_t imageType, const std::vector<uint8_t>& digest,
                                      uint32_t dataOffset, uint32_t sizeWords);

uint32_t VerifyHeaderBlock(int32_t keyIndex, int32_t imageType, const uint8_t* block, const uint8_t* digest);

struct ImageSpec {
    int keyIndex = 2;
    uint32_t imageType = 0;
    bool osHeader = false;
    std::vector<uint8_t> data;
    uint32_t gap = 0;  // bytes between the headers and the data
};

// The whole image file: optional "$OS$" header, header block, gap, data.
std::vector<uint8_t> BuildImage(const ImageSpec& spec);

}  // namespace sepsim
