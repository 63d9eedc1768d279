/* Item 1: asks the modem for the IMEI over its AT command channel. */
#include "PhoneInfoTest.h"
#include "Reply.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

enum { REPLY_POLLS = 31, READ_CHUNK = 1023 };

static int g_Channel = -1;
static pthread_mutex_t g_ReplyLock = PTHREAD_MUTEX_INITIALIZER;
static ReplyBuffer g_Reply;

static void sleep_ms(long ms)
{
    struct timespec delay = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

/* Appends everything the channel delivers to the reply buffer until the program exits. */
static void* reader_main(void* unused)
{
    (void)unused;
    char chunk[READ_CHUNK];
    for (;;) {
        ssize_t count = read(g_Channel, chunk, sizeof chunk);
        if (count > 0) {
            pthread_mutex_lock(&g_ReplyLock);
            reply_append(&g_Reply, chunk, (size_t)count);
            pthread_mutex_unlock(&g_ReplyLock);
        } else {
            usleep(1);
        }
    }
    return NULL;
}

static void flush_channel(int fd)
{
    if (tcflush(fd, TCIOFLUSH) == 0)
        return;
    switch (errno) {
    case EINVAL:
        out_debug(TAG "[ERROR] TCFLSH: invalid queue selector !\r");
        break;
    case ENOTTY:
        out_debug(TAG "[ERROR] TCFLSH: not a terminal !\r");
        break;
    case EBADF:
        out_debug(TAG "[ERROR] TCFLSH: bad file descriptor !\r");
        break;
    default:
        out_debug(TAG "[ERROR] Unhandle error !\r");
        break;
    }
}

static void configure_channel(int fd)
{
    struct termios attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.c_iflag = IGNPAR;
    attributes.c_oflag = 0;
    attributes.c_cflag = B115200 | CS8 | CREAD | CLOCAL | CRTSCTS;
    attributes.c_lflag = 0;
    attributes.c_cc[VEOF] = 4;
    attributes.c_cc[VMIN] = 1;
    attributes.c_cc[VTIME] = 0;
    attributes.c_cc[VEOL] = '\r';
    tcsetattr(fd, TCSANOW, &attributes);
}

static int write_command(int fd, const char* command)
{
    size_t length = strlen(command);
    size_t written = 0;
    while (written < length) {
        ssize_t count = write(fd, command + written, length - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return out_code(17, TAG "[ERROR.17] cNVM-written = %d, errno = %d \r\n", (int)count,
                            errno);
        written += (size_t)count;
    }
    return 0;
}

/* The first reply line, or 0 lines after every poll came back empty. */
static int wait_first_line(char first[REPLY_LINE_SIZE])
{
    static char lines[REPLY_MAX_LINES][REPLY_LINE_SIZE];
    for (int poll = 0; poll < REPLY_POLLS; ++poll) {
        sleep_ms(PHONEINFO_POLL_MS);
        pthread_mutex_lock(&g_ReplyLock);
        int count = reply_take_lines(&g_Reply, lines);
        pthread_mutex_unlock(&g_ReplyLock);
        if (g_ShowReplyLines) {
            for (int i = 0; i < count; ++i)
                printf(TAG " Cmd_Parser[%d]: %s\n", i, lines[i]);
        }
        if (count > 0) {
            memcpy(first, lines[0], REPLY_LINE_SIZE);
            return 1;
        }
    }
    return 0;
}

static int judge_first_line(const char* line)
{
    char value[REPLY_LINE_SIZE];
    switch (reply_judge(line, value)) {
    case REPLY_VALUE:
        out_value(value);
        out_debug(TAG " IMEI:%s \r\n", value);
        return 0;
    case REPLY_LENGTH_ERROR:
        out_value("");
        out_debug(TAG " IMEI Tranform Length Error\r");
        return 0;
    case REPLY_NOT_FOUND:
        return out_code(10, TAG "[ERROR.10] Non Exist.\r");
    case REPLY_ERROR:
        out_debug(TAG "[ERROR MSG] %s \r\n", line);
        return out_code(13, TAG "[ERROR.13] Unexpected Error\r");
    }
    return 0;
}

int read_imei(void)
{
    g_Channel = open(AT_CHANNEL, O_RDWR | O_NOCTTY);
    if (g_Channel < 0)
        return out_code(14, TAG "[ERROR.14] Open Device Fail.\r");
    flush_channel(g_Channel);
    configure_channel(g_Channel);

    sleep_ms(100);
    pthread_mutex_lock(&g_ReplyLock);
    g_Reply.length = 0;
    pthread_mutex_unlock(&g_ReplyLock);

    pthread_t reader;
    if (pthread_create(&reader, NULL, reader_main, NULL) != 0) {
        close(g_Channel);
        return out_code(15, TAG "[ERROR.15] pthread_create error\r");
    }
    int status = write_command(g_Channel, IMEI_COMMAND);
    if (status != 0) {
        close(g_Channel);
        return status;
    }

    char first[REPLY_LINE_SIZE];
    if (!wait_first_line(first)) {
        close(g_Channel);
        out_code(11, TAG "[ERROR.11] Wait ATcommand Response Time Out.\r");
        return EXIT_REPLY_TIME_OUT;
    }
    status = judge_first_line(first);
    close(g_Channel);
    return status;
}
