#include "Reply.h"

#include <string.h>

int reply_append(ReplyBuffer* buffer, const char* chunk, size_t count)
{
    if (count > REPLY_BUFFER_LIMIT - buffer->length)
        return 0;
    memcpy(buffer->data + buffer->length, chunk, count);
    buffer->length += count;
    return 1;
}

static int is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

static void keep_line(char lines[][REPLY_LINE_SIZE], int* count, const char* start, size_t length)
{
    if (length == 0 || *count >= REPLY_MAX_LINES)
        return;
    if (length > REPLY_LINE_SIZE - 1)
        length = REPLY_LINE_SIZE - 1;
    memcpy(lines[*count], start, length);
    lines[*count][length] = '\0';
    ++*count;
}

int reply_take_lines(ReplyBuffer* buffer, char lines[][REPLY_LINE_SIZE])
{
    int count = 0;
    size_t start = 0;
    for (size_t i = 0; i < buffer->length; ++i) {
        if (is_line_end(buffer->data[i])) {
            keep_line(lines, &count, buffer->data + start, i - start);
            start = i + 1;
        }
    }
    size_t tail = buffer->length - start;
    if (tail >= REPLY_BUFFER_LIMIT) {
        keep_line(lines, &count, buffer->data + start, tail);
        tail = 0;
    }
    memmove(buffer->data, buffer->data + buffer->length - tail, tail);
    buffer->length = tail;
    return count;
}

static void copy_value(char value[REPLY_LINE_SIZE], const char* text)
{
    size_t length = strlen(text);
    if (length > REPLY_LINE_SIZE - 1)
        length = REPLY_LINE_SIZE - 1;
    memcpy(value, text, length);
    value[length] = '\0';
}

void reply_imei_from_stored(const char* stored, char imei[IMEI_LENGTH + 1])
{
    int n = 0;
    imei[n++] = stored[2];
    for (int i = 4; i < STORED_IMEI_LENGTH; i += 2) {
        imei[n++] = stored[i + 1];
        imei[n++] = stored[i];
    }
    imei[n] = '\0';
}

ReplyVerdict reply_judge(const char* line, char value[REPLY_LINE_SIZE])
{
    static const char kStoredTag[] = "+CNVM: ";
    const char* tagged = strstr(line, kStoredTag);
    value[0] = '\0';
    if (tagged) {
        const char* stored = tagged + strlen(kStoredTag);
        size_t length = strlen(stored);
        if (length == STORED_IMEI_LENGTH) {
            reply_imei_from_stored(stored, value);
            return REPLY_VALUE;
        }
        if (length == IMEI_LENGTH) { /* already the plain IMEI */
            copy_value(value, stored);
            return REPLY_VALUE;
        }
        return REPLY_LENGTH_ERROR;
    }
    if (strstr(line, "not found"))
        return REPLY_NOT_FOUND;
    if (strstr(line, "ERROR"))
        return REPLY_ERROR;
    copy_value(value, line);
    return REPLY_VALUE;
}
