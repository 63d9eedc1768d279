// The simulated SEP's hash engine: block functions of SHA-1, SHA-2 and MD5, with the chaining
// state kept in plain words so that it can travel in a hash context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sepsim {

enum class HashMode : uint32_t { Sha1 = 0, Sha224 = 1, Sha256 = 2, Sha384 = 3, Sha512 = 4, Md5 = 5 };

struct HashState {
    HashMode mode = HashMode::Sha256;
    uint64_t words[8] = {};    // chaining value (32-bit algorithms use the low halves)
    uint64_t blockBytes = 0;   // bytes consumed in whole blocks
};

bool IsValidMode(uint32_t mode);
uint32_t BlockSize(HashMode mode);
uint32_t DigestSize(HashMode mode);

void HashInit(HashState& state, HashMode mode);
// Consumes whole blocks only; length must be a multiple of BlockSize.
void HashBlocks(HashState& state, const uint8_t* data, size_t length);
// Pads the pending bytes (fewer than a block) and returns the digest.
std::vector<uint8_t> HashFinal(HashState state, const uint8_t* pending, size_t pendingLength);
std::vector<uint8_t> HashOneShot(HashMode mode, const uint8_t* data, size_t length);

}  // namespace sepsim
