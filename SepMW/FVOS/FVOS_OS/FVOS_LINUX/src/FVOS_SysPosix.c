/* The real system calls of the SEP driver access. */
#include "FVOS_Sys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

int FVOS_SysOpen(const char *path, int flags)
{
    return open(path, flags);
}

int FVOS_SysClose(int fd)
{
    return close(fd);
}

void *FVOS_SysMmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return mmap(addr, length, prot, flags, fd, offset);
}

int FVOS_SysMunmap(void *addr, size_t length)
{
    return munmap(addr, length);
}

int FVOS_SysIoctl(int fd, unsigned long request, void *arg)
{
    return ioctl(fd, request, arg);
}

int FVOS_SysPoll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    return poll(fds, count, timeoutMs);
}

ssize_t FVOS_SysRead(int fd, void *buffer, size_t size)
{
    return read(fd, buffer, size);
}

ssize_t FVOS_SysWrite(int fd, const void *buffer, size_t size)
{
    return write(fd, buffer, size);
}

off_t FVOS_SysLseek(int fd, off_t offset, int whence)
{
    return lseek(fd, offset, whence);
}
