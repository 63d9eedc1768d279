/* File access on platform descriptors. */
#include "DX_VOS.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

void DX_VOS_BaseLogFileResult(void)
{
}

static DxStatus FileFailed(void)
{
    DX_VOS_BaseLogFileResult();
    return DX_VOS_FILE_ERROR;
}

DxStatus DX_VOS_BaseCreateDirectory(const char *path)
{
    (void)path;
    return DX_SUCCESS;
}

DxStatus DX_VOS_CreateDirectory(const char *path)
{
    if (path == NULL || path[0] == '\0')
        return DX_BAD_ARGUMENTS;
    return DX_VOS_BaseCreateDirectory(path);
}

/* Creates the directory part of a path, when it has one. */
static DxStatus CreatePathDirectories(const char *path)
{
    const char *slash = DX_VOS_StrRChr(path, '/');
    if (slash == NULL || slash == path)
        return DX_SUCCESS;
    char dir[DX_VOS_MAX_PATH];
    size_t length = (size_t)(slash - path);
    memcpy(dir, path, length);
    dir[length] = '\0';
    return DX_VOS_CreateDirectory(dir);
}

/* 'r' or 'w', then optionally '+' or 'b', then optionally the other of the two. */
static int ParseBaseMode(const char *mode, int *flags)
{
    if (mode == NULL || (mode[0] != 'r' && mode[0] != 'w'))
        return 0;
    int plus = 0, binary = 0;
    for (const char *p = mode + 1; *p != '\0'; p++) {
        if (p - mode > 2)
            return 0;
        if (*p == '+' && !plus)
            plus = 1;
        else if (*p == 'b' && !binary)
            binary = 1;
        else
            return 0;
    }
    if (mode[0] == 'r')
        *flags = plus ? O_RDWR : O_RDONLY;
    else
        *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    return 1;
}

DxStatus DX_VOS_BaseFOpen(DxVosFile *handle, const char *path, const char *mode)
{
    if (handle == NULL)
        return DX_BAD_ARGUMENTS;
    *handle = 0;
    int flags = 0;
    if (path == NULL || !ParseBaseMode(mode, &flags))
        return FileFailed();
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0700);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return FileFailed();
    *handle = (DxVosFile)fd;
    return DX_SUCCESS;
}

/* 'r' or 'w' followed by nothing, 'b', 't', '+', "+b" or "+t". */
static int IsFOpenMode(const char *mode)
{
    static const char *const tails[] = {"", "b", "t", "+", "+b", "+t"};
    if (mode == NULL || (mode[0] != 'r' && mode[0] != 'w'))
        return 0;
    for (size_t i = 0; i < sizeof tails / sizeof tails[0]; i++)
        if (strcmp(mode + 1, tails[i]) == 0)
            return 1;
    return 0;
}

DxStatus DX_VOS_FOpen(DxVosFile *handle, const char *path, const char *mode)
{
    if (handle == NULL || path == NULL || path[0] == '\0')
        return DX_BAD_ARGUMENTS;
    char copy[DX_VOS_MAX_PATH];
    DxStatus status = DX_VOS_StrNCopy(copy, sizeof copy, path);
    if (status != DX_SUCCESS)
        return status;
    if (!IsFOpenMode(mode))
        return DX_BAD_ARGUMENTS;
    if (mode[0] == 'w') {
        status = CreatePathDirectories(copy);
        if (status != DX_SUCCESS)
            return status;
    }
    return DX_VOS_BaseFOpen(handle, copy, mode);
}

DxStatus DX_VOS_BaseFileOpen(DxVosFile *handle, const char *path, uint32_t type)
{
    const char *mode;
    switch (type) {
    case DX_FILE_CREATE_NEW:
    case DX_FILE_CREATE_OR_TRUNCATE:
        mode = "wb";
        break;
    case DX_FILE_OPEN_EXISTING:
        mode = "rb";
        break;
    case DX_FILE_OPEN_READ_WRITE:
        mode = "r+b";
        break;
    case DX_FILE_CREATE_READ_WRITE:
    case DX_FILE_TRUNCATE_READ_WRITE:
        mode = "w+b";
        break;
    default:
        return DX_VOS_FILE_OPEN_TYPE_NOT_SUPPORTED;
    }
    return DX_VOS_BaseFOpen(handle, path, mode);
}

DxStatus DX_VOS_FileOpen(DxVosFile *handle, const char *path, uint32_t type)
{
    if (handle == NULL || path == NULL || path[0] == '\0')
        return DX_BAD_ARGUMENTS;
    char copy[DX_VOS_MAX_PATH];
    DxStatus status = DX_VOS_StrNCopy(copy, sizeof copy, path);
    if (status != DX_SUCCESS)
        return status;
    if (type & 1u) {
        status = CreatePathDirectories(copy);
        if (status != DX_SUCCESS)
            return status;
    }
    return DX_VOS_BaseFileOpen(handle, copy, type);
}

DxStatus DX_VOS_BaseFClose(DxVosFile handle)
{
    if (close((int)handle) != 0)
        return FileFailed();
    return DX_SUCCESS;
}

DxStatus DX_VOS_FClose(DxVosFile handle)
{
    if (handle == 0)
        return DX_SUCCESS;
    return DX_VOS_BaseFClose(handle);
}

DxStatus DX_VOS_FReadEx(DxVosFile handle, void *buffer, uint32_t size, int32_t *count)
{
    if (count != NULL)
        *count = 0;
    if (size == 0)
        return DX_SUCCESS;
    if (buffer == NULL)
        return DX_BAD_ARGUMENTS;
    ssize_t got;
    do {
        got = read((int)handle, buffer, size);
    } while (got < 0 && errno == EINTR);
    if (count != NULL) {
        *count = got < 0 ? -1 : (int32_t)got;
        if (got < 0)
            DX_VOS_BaseLogFileResult();
        return DX_SUCCESS;
    }
    if (got < 0 || (uint32_t)got < size)
        return FileFailed();
    return DX_SUCCESS;
}

DxStatus DX_VOS_FWrite(DxVosFile handle, const void *data, uint32_t length)
{
    if (length == 0)
        return DX_SUCCESS;
    if (data == NULL)
        return DX_BAD_ARGUMENTS;
    const uint8_t *p = (const uint8_t *)data;
    while (length > 0) {
        ssize_t put = write((int)handle, p, length);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return FileFailed();
        p += put;
        length -= (uint32_t)put;
    }
    return DX_SUCCESS;
}

DxStatus DX_VOS_FSeekEx(DxVosFile handle, int64_t offset, int whence)
{
    if (lseek((int)handle, (off_t)offset, whence) < 0)
        return FileFailed();
    return DX_SUCCESS;
}

DxStatus DX_VOS_FFlush(DxVosFile handle)
{
    if (fsync((int)handle) != 0)
        return FileFailed();
    return DX_SUCCESS;
}

DxStatus DX_VOS_FGetFileSize(DxVosFile handle, uint64_t *size)
{
    if (size == NULL)
        return DX_BAD_ARGUMENTS;
    *size = 0;
    off_t position = lseek((int)handle, 0, SEEK_CUR);
    if (position < 0)
        return FileFailed();
    off_t end = lseek((int)handle, 0, SEEK_END);
    if (end < 0)
        return FileFailed();
    if (lseek((int)handle, position, SEEK_SET) < 0)
        return FileFailed();
    *size = (uint64_t)end;
    return DX_SUCCESS;
}
