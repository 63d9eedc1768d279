#include "SepSimImage.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#ifndef SEPSIM_KEY_DIR
#define SEPSIM_KEY_DIR "."
#endif

namespace sepsim {
namespace {

std::string g_keyDirectory = SEPSIM_KEY_DIR;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct KeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyDeleter>;

KeyPtr LoadKey(int32_t index) {
    if (index < 0 || uint32_t(index) >= kKeyCount) return nullptr;
    std::string path = g_keyDirectory + "/key" + std::to_string(index) + ".pem";
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    return KeyPtr(key);
}

}  // namespace

std::string KeyDirectory() { return g_keyDirectory; }
void SetKeyDirectory(const std::string& directory) { g_keyDirectory = directory; }

std::vector<uint8_t> Sha256(const uint8_t* data, size_t length) {
    std::vector<uint8_t> out(32);
    unsigned int n = 0;
    EVP_Digest(data, length, out.data(), &n, EVP_sha256(), nullptr);
    return out;
}

std::vector<uint8_t> BuildHeaderBlock(int keyIndex, uint32_t imageType, const std::vector<uint8_t>& digest,
                                      uint32_t dataOffset, uint32_t sizeWords) {
    std::vector<uint8_t> block(kHeaderBlockSize, 0);
    std::memcpy(block.data(), "ZSIG", 4);
    PutLe32(&block[4], imageType);
    std::memcpy(&block[8], digest.data(), std::min<size_t>(digest.size(), 32));
    const uint8_t vrl[4] = {0x52, 0xF0, 0x9F, 0xE5};
    std::memcpy(&block[kVrlOffset], vrl, 4);
    PutLe32(&block[kVrlOffset + 32], dataOffset);
    PutLe32(&block[kVrlOffset + 36], sizeWords);

    KeyPtr key = LoadKey(keyIndex);
    if (!key) throw std::runtime_error("no test key " + std::to_string(keyIndex) + " in " + g_keyDirectory);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t sigLength = kHeaderBlockSize - kSignedPart;
    bool ok = EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
              EVP_DigestSign(ctx, &block[kSignedPart], &sigLength, block.data(), kSignedPart) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok || sigLength != kHeaderBlockSize - kSignedPart) throw std::runtime_error("signing failed");
    return block;
}

uint32_t VerifyHeaderBlock(int32_t keyIndex, int32_t imageType, const uint8_t* block, const uint8_t* digest) {
    KeyPtr key = LoadKey(keyIndex);
    if (!key) return kVerifyNoKey;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
              EVP_DigestVerify(ctx, block + kSignedPart, kHeaderBlockSize - kSignedPart, block, kSignedPart) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok || std::memcmp(block, "ZSIG", 4) != 0) return kVerifyBadSignature;
    if (GetLe32(block + 4) != uint32_t(imageType)) return kVerifyWrongType;
    if (std::memcmp(block + 8, digest, 32) != 0) return kVerifyWrongDigest;
    return kVerifyOk;
}

std::vector<uint8_t> BuildImage(const ImageSpec& spec) {
    std::vector<uint8_t> image;
    if (spec.osHeader) {
        image.assign(kOsHeaderSize, 0);
        std::memcpy(image.data(), "$OS$", 4);
    }
    // The data offset counts from the header block's start: the data follows the block.
    uint32_t dataOffset = kHeaderBlockSize + spec.gap;
    uint32_t sizeWords = uint32_t(spec.data.size() / 4);
    std::vector<uint8_t> digest = Sha256(spec.data.data(), sizeWords * 4u);
    std::vector<uint8_t> block = BuildHeaderBlock(spec.keyIndex, spec.imageType, digest, dataOffset, sizeWords);
    image.insert(image.end(), block.begin(), block.end());
    image.insert(image.end(), spec.gap, 0);
    image.insert(image.end(), spec.data.begin(), spec.data.end());
    return image;
}

}  // namespace sepsim
