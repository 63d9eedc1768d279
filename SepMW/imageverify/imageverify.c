/* imageverify: checks a signed image with the SEP. Exits 0 when the image verifies, else 1. */
#include <errno.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "CRYS_HASH.h"
#include "ImageDataReader.h"
#include "SEPDriver.h"
#include "SEP_LE.h"

#define HASH_BLOCK_SIZE 0x200000u
#define HEADERS_READ_SIZE 992u
#define OS_HEADER_SIZE 512u
#define HEADER_BLOCK_SIZE 480u
#define VRL_OFFSET 128u
#define VRL_DATA_OFFSET_FIELD 32u
#define VRL_DATA_SIZE_FIELD 36u
#define DIGEST_SIZE 32u
#define VERIFY_IMAGE_OPCODE 0xBC0u
#define DEFAULT_KEY_INDEX 2

static const uint8_t s_VrlMagic[4] = {0x52, 0xF0, 0x9F, 0xE5};

static void PrintError(const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static void PrintError(const char *function, int line, const char *format, ...)
{
    va_list args;
    fprintf(stderr, "%s():%d: ERROR - ", function, line);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fprintf(stderr, "\n\n");
}

static void PrintUsage(const char *name)
{
    fprintf(stderr, "  Usage: %s -h | -k <key> -t <image type> {-f} <signed image pathname>\n", name);
    fprintf(stderr, "    <key> is 0 through 4 to specify the key that the image is signed with.\n");
    fprintf(stderr, "    <key> default is 2.\n");
    fprintf(stderr, "    <image type> is 0 (default) through 255 to specify the type of image.\n");
    fprintf(stderr, "    -f is optional syntax.\n");
    fprintf(stderr, "    -h Prints as help this usage message.\n");
    fprintf(stderr, "  Example, %s -k 2 -t 3 image.bin\n", name);
    fprintf(stderr, "  Example, %s -k 2 -t 3 -f image.bin\n", name);
    fprintf(stderr, "  Example, %s -h\n", name);
    fprintf(stderr, "\n");
}

/* The file's size in bytes; 0 when it cannot be learnt. */
static int64_t offGetFileSize(const char *path)
{
    if (path == NULL || path[0] == '\0')
        return 0;
    FILE *file = fopen(path, "rb");
    if (file == NULL) {
        PrintError(__func__, 200, "Could not open the file %s", path);
        return 0;
    }
    off_t size = -1;
    if (fseeko(file, 0, SEEK_END) == 0)
        size = ftello(file);
    fclose(file);
    if (size < 0) {
        PrintError(__func__, 217, "Could not get file size.");
        return 0;
    }
    return (int64_t)size;
}

typedef struct {
    int32_t keyIndex;
    int32_t imageType;
    const char *path;
} Settings;

/* 0 to go on, else the exit code. */
static int ParseCommandLine(int argc, char **argv, Settings *settings)
{
    const char *name = argc > 0 && argv[0] != NULL ? argv[0] : "<cmd>";
    if (argc < 2) {
        PrintError("main", 337, "Incorrect number of arguments.");
        PrintUsage(name);
        return 1;
    }
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "k:t:f:h")) != -1) {
        switch (option) {
        case 'k':
            settings->keyIndex = (int32_t)atol(optarg);
            break;
        case 't':
            settings->imageType = (int32_t)atol(optarg);
            break;
        case 'f':
            settings->path = optarg;
            break;
        default:
            PrintUsage(name);
            return 1;
        }
    }
    if (optind < argc)
        settings->path = argv[optind];
    if (settings->path == NULL) {
        PrintUsage(name);
        return 1;
    }
    return 0;
}

/* Reads exactly size bytes; a short read reports end of file or a file error. */
static int ReadExactly(FILE *file, uint8_t *buffer, size_t size, int eofLine, int errorLine,
                       const char *eofText, const char *errorText)
{
    if (fread(buffer, 1, size, file) == size)
        return 1;
    if (feof(file))
        PrintError("main", eofLine, "%s", eofText);
    else
        PrintError("main", errorLine, "%s", errorText);
    return 0;
}

static const char s_EofHashing[] = "Reached end of file when reading image data for hashing.";
static const char s_ErrorHashing[] = "File error occurred when reading image data for hashing.";

/* Digest of size bytes from the file's position, read ahead in halves of the buffer while the
   other half is hashed. Messages name the 2 MiB block that a piece lies in. */
static int HashImageData(FILE *file, uint8_t *buffer, uint64_t size, CRYS_HASH_Result_t digest)
{
    HashContext context;
    memset(&context, 0, sizeof context);
    uint32_t rc = CRYS_HASH_Init(&context, CRYS_HASH_SHA256_mode);
    if (rc != 0) {
        PrintError("main", 709, "Could not initialize CRYS_HASH; CRYS_HASH_Init() returned error value of 0x%lX.",
                   (unsigned long)rc);
        CRYS_HASH_Free(&context);
        return 0;
    }
    uint64_t blocks = size >> 21;
    ImageDataReader reader;
    ImageDataReader_Start(&reader, file, buffer, HASH_BLOCK_SIZE, size);
    int hashed = 1;
    for (;;) {
        const uint8_t *piece;
        size_t length;
        uint64_t offset;
        int got = ImageDataReader_Next(&reader, &piece, &length, &offset);
        if (got == IMAGE_DATA_DONE)
            break;
        int inRemainder = (offset >> 21) >= blocks;
        if (got != IMAGE_DATA_PIECE) {
            if (got == IMAGE_DATA_END_OF_FILE)
                PrintError("main", inRemainder ? 787 : 733, "%s", s_EofHashing);
            else
                PrintError("main", inRemainder ? 792 : 738, "%s", s_ErrorHashing);
            hashed = 0;
            break;
        }
        rc = CRYS_HASH_Update(&context, piece, (uint32_t)length);
        if (rc != 0) {
            if (inRemainder)
                PrintError("main", 814, "CRYS_HASH_Update() returned error value of 0x%lX.", (unsigned long)rc);
            else
                PrintError("main", 762,
                           "CRYS_HASH_Update() returned error value of 0x%lX hashing block 0x%lX of 0x%lX.",
                           (unsigned long)rc, (unsigned long)(offset >> 21), (unsigned long)blocks);
            hashed = 0;
            break;
        }
        ImageDataReader_Release(&reader);
    }
    ImageDataReader_Stop(&reader);
    if (!hashed) {
        CRYS_HASH_Free(&context);
        return 0;
    }
    rc = CRYS_HASH_Finish(&context, digest);
    CRYS_HASH_Free(&context);
    if (rc != 0) {
        PrintError("main", 829, "CRYS_HASH_Finish() returned error value of 0x%lX.", (unsigned long)rc);
        return 0;
    }
    return 1;
}

/* The VerifyImage request; 1 when the SEP verified the header block against the digest. */
static int VerifyWithSep(const Settings *settings, const uint8_t *headerBlock, const uint8_t *digest)
{
    uint32_t offset = 0;
    uint32_t rc = SEPDriver_BuildMsgHeader(&offset, VERIFY_IMAGE_OPCODE);
    int verified = 0;
    if (rc != 0) {
        PrintError("main", 853, "SEPDriver_BuildMsgHeader() returned an error value of 0x%lX.", (unsigned long)rc);
        goto end;
    }
    uint8_t triple[12];
    SEP_PutLE32(triple, (uint32_t)settings->keyIndex);
    SEP_PutLE32(triple + 4, (uint32_t)settings->imageType);
    SEP_PutLE32(triple + 8, HEADER_BLOCK_SIZE);
    rc = SEPDriver_WriteParamater(triple, sizeof triple, sizeof triple, &offset);
    if (rc != 0) {
        PrintError("main", 880, "SEPDriver_WriteParamater() returned an error value of 0x%lX.", (unsigned long)rc);
        goto end;
    }
    rc = SEPDriver_WriteParamater(headerBlock, HEADER_BLOCK_SIZE, HEADER_BLOCK_SIZE, &offset);
    if (rc != 0) {
        PrintError("main", 898, "SEPDriver_WriteParamater() for image header returned an error value of 0x%lX.",
                   (unsigned long)rc);
        goto end;
    }
    rc = SEPDriver_WriteParamater(digest, DIGEST_SIZE, DIGEST_SIZE, &offset);
    if (rc != 0) {
        PrintError("main", 916,
                   "SEPDriver_WriteParamater() for image data hash returned an error value of 0x%lX.",
                   (unsigned long)rc);
        goto end;
    }
    rc = SEPDriver_EndMessage(offset);
    if (rc != 0) {
        /* Unsent, the request would never be answered. */
        PrintError("main", 925, "SEPDriver_EndMessage() returned an error value of 0x%lX.", (unsigned long)rc);
        goto end;
    }
    rc = SEPDriver_WaitForResponse(0, 0, NULL, -1);
    if (rc != 0) {
        PrintError("main", 933, "SEPDriver_POLL_FOR_REPONSE() returned an error value of 0x%lX.", (unsigned long)rc);
        goto end;
    }
    rc = SEPDriver_CheckStatus(&offset, VERIFY_IMAGE_OPCODE);
    if (rc != 0) {
        PrintError("main", 948, "SEPDriver_CheckStatus() returned an error value of 0x%lX.", (unsigned long)rc);
        goto end;
    }
    verified = 1;
end:
    /* The transaction must end too for the verdict to stand. */
    rc = SEPDriver_Unlock();
    if (rc != 0) {
        PrintError("main", 965, "SEPDriver_Unlock() returned an error value of 0x%lX.", (unsigned long)rc);
        verified = 0;
    }
    return verified;
}

/* Steps after the size checks; 1 when the image verified. The file and buffer are released here. */
static int CheckAndVerify(const Settings *settings, int64_t fileSize)
{
    uint8_t *buffer = (uint8_t *)malloc(HASH_BLOCK_SIZE);
    if (buffer == NULL) {
        PrintError("main", 446, "Could not allocate %lu bytes of memory for the hashing block buffer.",
                   (unsigned long)HASH_BLOCK_SIZE);
        return 0;
    }
    FILE *file = fopen(settings->path, "rb");
    if (file == NULL) {
        PrintError("main", 462, "Could not open the file %s.", settings->path);
        free(buffer);
        return 0;
    }

    int verified = 0;
    CRYS_HASH_Result_t digest;
    memset(digest, 0, sizeof digest);
    uint8_t headerBlock[HEADER_BLOCK_SIZE];

    if (!ReadExactly(file, buffer, HEADERS_READ_SIZE, 481, 485, "Reached end of file when reading headers.",
                     "File error occurred when reading headers."))
        goto done;

    int osHeader = memcmp(buffer, "$OS$", 4) == 0;
    uint32_t blockStart = osHeader ? OS_HEADER_SIZE : 0;
    uint32_t extent = osHeader ? OS_HEADER_SIZE + HEADER_BLOCK_SIZE : HEADER_BLOCK_SIZE;
    const uint8_t *vrl = buffer + blockStart + VRL_OFFSET;

    int64_t dataOffset = (int64_t)(int32_t)SEP_GetLE32(vrl + VRL_DATA_OFFSET_FIELD) + blockStart;
    if (dataOffset < (int64_t)extent) {
        PrintError("main", 566,
                   "File image data byte offset of %jd bytes is less than the extent of file headers at %jd bytes.",
                   (intmax_t)dataOffset, (intmax_t)extent);
        goto done;
    }
    if (dataOffset > fileSize) {
        PrintError("main", 588, "File image data byte offset of %jd bytes is greater than the file size of %jd bytes.",
                   (intmax_t)dataOffset, (intmax_t)fileSize);
        goto done;
    }
    if (memcmp(vrl, s_VrlMagic, sizeof s_VrlMagic) != 0) {
        PrintError("main", 600, "Image file does not have a VRL header.");
        goto done;
    }
    memcpy(headerBlock, buffer + blockStart, HEADER_BLOCK_SIZE);

    uint32_t rc = DX_CC_HostInit();
    if (rc != 0) {
        PrintError("main", 624, "SEP driver init failed; DX_CC_HostInit() returned error value of 0x%lX.",
                   (unsigned long)rc);
        goto done;
    }

    /* The size field counts words: its byte count needs 64 bits. */
    uint64_t dataSize = (uint64_t)SEP_GetLE32(vrl + VRL_DATA_SIZE_FIELD) * 4u;
    if (dataSize == 0) {
        PrintError("main", 650, "VRL image data size is zero.");
        goto done;
    }
    if (dataSize > (uint64_t)(fileSize - dataOffset)) {
        PrintError("main", 661, "VRL image data size of %ju bytes is greater than file image data size of %jd bytes.",
                   (uintmax_t)dataSize, (intmax_t)(fileSize - dataOffset));
        goto done;
    }
    rewind(file);
    if (fseeko(file, (off_t)dataOffset, SEEK_SET) != 0) {
        PrintError("main", 688, "Could not position file pointer to beginning of image data in the file.");
        goto done;
    }

    if (!HashImageData(file, buffer, dataSize, digest))
        goto done;
    verified = VerifyWithSep(settings, headerBlock, digest);

done:
    free(buffer);
    if (fclose(file) != 0) {
        PrintError("main", 978, "Could not close the file %s.", settings->path);
        verified = 0;
    }
    return verified;
}

int main(int argc, char **argv)
{
    Settings settings = {DEFAULT_KEY_INDEX, 0, NULL};
    int exitCode = ParseCommandLine(argc, argv, &settings);
    if (exitCode != 0)
        return exitCode;

    int64_t fileSize = offGetFileSize(settings.path);
    if (fileSize == 0) {
        PrintError("main", 421, "File size is zero.");
        return 1;
    }
    if (fileSize < (int64_t)HEADERS_READ_SIZE) {
        PrintError("main", 430, "File size is too small.");
        return 1;
    }

    if (CheckAndVerify(&settings, fileSize)) {
        fprintf(stderr, "The file was successfully verified.\n\n");
        return 0;
    }
    fprintf(stderr, "The file was not verified.\n\n");
    return 1;
}
