// The read-ahead of the image data: pieces in order from the two halves of the buffer, and the
// outcome of a read that fails, read from a stream whose data and failure the test chooses.
#include "ImageDataReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A stream of `length` bytes (byte i is i * 13 + i / 7) that fails with an error at failAt when
// that is set, else ends there.
struct Source {
    uint64_t length = 0;
    uint64_t position = 0;
    bool failWithError = false;
};

uint8_t ByteAt(uint64_t i) { return uint8_t(i * 13 + i / 7); }

ssize_t ReadSource(void* cookie, char* buffer, size_t size) {
    Source* source = static_cast<Source*>(cookie);
    if (source->position >= source->length) {
        if (source->failWithError) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    // Short reads, as a pipe or a slow device gives them.
    size_t n = std::min<uint64_t>({size, source->length - source->position, 3000});
    for (size_t i = 0; i < n; ++i) buffer[i] = char(ByteAt(source->position + i));
    source->position += n;
    return ssize_t(n);
}

FILE* Open(Source& source) {
    cookie_io_functions_t functions{};
    functions.read = ReadSource;
    return fopencookie(&source, "rb", functions);
}

struct Piece {
    int outcome;
    uint64_t offset;
    size_t length;
};

// Takes every piece up to the end or a failure, checking the bytes of each.
std::vector<Piece> ReadAll(FILE* file, size_t bufferSize, uint64_t size) {
    std::vector<uint8_t> buffer(bufferSize);
    ImageDataReader reader;
    ImageDataReader_Start(&reader, file, buffer.data(), bufferSize, size);
    std::vector<Piece> pieces;
    for (;;) {
        const uint8_t* data = nullptr;
        size_t length = 0;
        uint64_t offset = 0;
        int outcome = ImageDataReader_Next(&reader, &data, &length, &offset);
        pieces.push_back({outcome, offset, length});
        if (outcome != IMAGE_DATA_PIECE) break;
        EXPECT_TRUE(data == buffer.data() || data == buffer.data() + bufferSize / 2);
        for (size_t i = 0; i < length; ++i) {
            if (data[i] != ByteAt(offset + i)) {
                ADD_FAILURE() << "byte " << offset + i;
                break;
            }
        }
        ImageDataReader_Release(&reader);
    }
    ImageDataReader_Stop(&reader);
    return pieces;
}

std::string Describe(const std::vector<Piece>& pieces) {
    std::string text;
    for (const Piece& p : pieces)
        text += std::to_string(p.outcome) + "@" + std::to_string(p.offset) + "+" + std::to_string(p.length) + " ";
    return text;
}

}  // namespace

TEST(ImageDataReader, PiecesAndFailures) {
    const int kPiece = IMAGE_DATA_PIECE, kDone = IMAGE_DATA_DONE, kEnd = IMAGE_DATA_END_OF_FILE,
              kError = IMAGE_DATA_FILE_ERROR;
    struct Case {
        const char* label;
        uint64_t available;  // bytes the stream holds
        bool failWithError;  // after them
        size_t bufferSize;
        uint64_t size;
        std::string expected;
    };
    auto p = [](int outcome, uint64_t offset, size_t length) {
        return std::to_string(outcome) + "@" + std::to_string(offset) + "+" + std::to_string(length) + " ";
    };
    const Case cases[] = {
        {"less than a piece", 100000, false, 8192, 1000, p(kPiece, 0, 1000) + p(kDone, 4096, 0)},
        {"exactly one piece", 100000, false, 8192, 4096, p(kPiece, 0, 4096) + p(kDone, 4096, 0)},
        {"pieces and a short last one", 100000, false, 8192, 3 * 4096 + 5,
         p(kPiece, 0, 4096) + p(kPiece, 4096, 4096) + p(kPiece, 8192, 4096) + p(kPiece, 12288, 5) +
             p(kDone, 16384, 0)},
        {"the data stops in the third piece", 9000, false, 8192, 5 * 4096,
         p(kPiece, 0, 4096) + p(kPiece, 4096, 4096) + p(kEnd, 8192, 0)},
        {"a read error in the second piece", 5000, true, 8192, 5 * 4096, p(kPiece, 0, 4096) + p(kError, 4096, 0)},
        {"a read error in the only piece", 10, true, 8192, 4000, p(kError, 0, 0)},
        {"nothing to read", 100, false, 8192, 0, p(kDone, 0, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Source source{c.available, 0, c.failWithError};
        FILE* file = Open(source);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(Describe(ReadAll(file, c.bufferSize, c.size)), c.expected);
        fclose(file);
    }
}

TEST(ImageDataReader, ManyPiecesInOrder) {
    Source source{uint64_t(1) << 22, 0, false};
    FILE* file = Open(source);
    ASSERT_NE(file, nullptr);
    std::vector<Piece> pieces = ReadAll(file, 2048, (uint64_t(1) << 22) - 3);
    ASSERT_EQ(pieces.size(), 4097u);
    EXPECT_EQ(pieces[4095].length, 1021u);
    EXPECT_EQ(pieces.back().outcome, IMAGE_DATA_DONE);
    fclose(file);
}

// Stopping while the reading thread is ahead (or waiting for a half) ends it.
TEST(ImageDataReader, StopsBeforeTheLastPiece) {
    for (int taken = 0; taken < 4; ++taken) {
        Source source{1 << 20, 0, false};
        FILE* file = Open(source);
        ASSERT_NE(file, nullptr);
        std::vector<uint8_t> buffer(8192);
        ImageDataReader reader;
        ImageDataReader_Start(&reader, file, buffer.data(), buffer.size(), 1 << 20);
        for (int i = 0; i < taken; ++i) {
            const uint8_t* data;
            size_t length;
            uint64_t offset;
            ASSERT_EQ(ImageDataReader_Next(&reader, &data, &length, &offset), IMAGE_DATA_PIECE);
            EXPECT_EQ(offset, uint64_t(i) * 4096);
            ImageDataReader_Release(&reader);
        }
        ImageDataReader_Stop(&reader);
        EXPECT_LE(source.position, uint64_t(taken + 2) * 4096 + BUFSIZ);  // two pieces ahead at most
        fclose(file);
    }
}
