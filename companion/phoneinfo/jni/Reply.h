/* Modem reply handling of PhoneInfoTest: pure functions, no I/O. */
#ifndef PHONEINFO_REPLY_H
#define PHONEINFO_REPLY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    REPLY_BUFFER_SIZE = 1024,
    REPLY_BUFFER_LIMIT = 1022, /* a chunk that would take the buffer past this is dropped */
    REPLY_MAX_LINES = 20,
    REPLY_LINE_SIZE = 256,     /* 255 characters and the terminator */
    IMEI_LENGTH = 15,
    STORED_IMEI_LENGTH = 18
};

typedef struct {
    char data[REPLY_BUFFER_SIZE];
    size_t length;
} ReplyBuffer;

/* Appends a chunk read from the channel; false (and nothing appended) when it would take the
 * buffer past REPLY_BUFFER_LIMIT bytes. */
int reply_append(ReplyBuffer* buffer, const char* chunk, size_t count);

/* Takes the complete lines (ended by CR or LF) out of the buffer into lines[], at most
 * REPLY_MAX_LINES of them, each cut to 255 characters; empty lines vanish and further lines are
 * dropped. An unfinished last line stays in the buffer for the next call, unless it fills the
 * buffer, which then counts as a line. Returns the number of lines. */
int reply_take_lines(ReplyBuffer* buffer, char lines[][REPLY_LINE_SIZE]);

typedef enum {
    REPLY_VALUE,         /* value holds the answer */
    REPLY_LENGTH_ERROR,  /* a "+CNVM: " value of an unknown length: value is empty */
    REPLY_NOT_FOUND,
    REPLY_ERROR
} ReplyVerdict;

/* Judges the first reply line of the IMEI command; value receives at most
 * REPLY_LINE_SIZE - 1 characters. */
ReplyVerdict reply_judge(const char* line, char value[REPLY_LINE_SIZE]);

/* The IMEI out of the modem's 18-character stored form ("08", the first digit, "A", then the
 * other digits swapped in pairs); imei receives 15 characters and a terminator. */
void reply_imei_from_stored(const char* stored, char imei[IMEI_LENGTH + 1]);

#ifdef __cplusplus
}
#endif

#endif
