/* The system calls through which FVOS reaches the SEP driver. The program links one
 * implementation: FVOS_SysPosix.c (the real calls) or a simulated driver. */
#ifndef FVOS_SYS_H
#define FVOS_SYS_H

#include <poll.h>
#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int FVOS_SysOpen(const char *path, int flags);
int FVOS_SysClose(int fd);
void *FVOS_SysMmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset);
int FVOS_SysMunmap(void *addr, size_t length);
int FVOS_SysIoctl(int fd, unsigned long request, void *arg);
int FVOS_SysPoll(struct pollfd *fds, nfds_t count, int timeoutMs);
ssize_t FVOS_SysRead(int fd, void *buffer, size_t size);
ssize_t FVOS_SysWrite(int fd, const void *buffer, size_t size);
off_t FVOS_SysLseek(int fd, off_t offset, int whence);

#ifdef __cplusplus
}
#endif

#endif
