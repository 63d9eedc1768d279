/* The layer's formatter, number and string conversions. */
#include "DX_VOS.h"

#include <stdio.h>
#include <string.h>

#define DX_PRINT_BUFFER_SIZE 2048u
#define DX_MAX_WIDTH_DIGITS 4

static const char s_UpperDigits[] = "0123456789ABCDEF";
static const char s_LowerDigits[] = "0123456789abcdef";

DxStatus DX_VOS_Printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    return DX_SUCCESS;
}

DxStatus DX_VOS_SPrintf(char *buffer, uint32_t size, const char *format, ...)
{
    if (buffer == NULL || format == NULL)
        return DX_BAD_ARGUMENTS;
    if (size == 0)
        return DX_BUFFER_IS_NOT_BIG_ENOUGH;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (length < 0) {
        buffer[0] = '\0';
        return DX_BAD_CONVERSION;
    }
    return (uint32_t)length >= size ? DX_BUFFER_IS_NOT_BIG_ENOUGH : DX_SUCCESS;
}

DxStatus DX_VOS_VPrintf(const char *format, va_list args)
{
    char text[DX_PRINT_BUFFER_SIZE];
    DxStatus status = DX_VOS_VSPrintf(text, sizeof text, format, args);
    fputs(text, stdout);
    return status;
}

DxStatus DX_VOS_VFPrintf(DxVosFile handle, const char *format, va_list args)
{
    char text[DX_PRINT_BUFFER_SIZE];
    DxStatus formatted = DX_VOS_VSPrintf(text, sizeof text, format, args);
    DxStatus written = DX_VOS_FWrite(handle, text, (uint32_t)strlen(text));
    return formatted > written ? formatted : written;
}

DxStatus DX_VOS_FPrintf(DxVosFile handle, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    DxStatus status = DX_VOS_VFPrintf(handle, format, args);
    va_end(args);
    return status;
}

/* Digits of a magnitude, most significant first, into out (at least 33 bytes). */
static uint32_t FormatMagnitude(uint32_t value, uint32_t base, const char *digits, char *out)
{
    char reversed[33];
    uint32_t n = 0;
    do {
        reversed[n++] = digits[value % base];
        value /= base;
    } while (value != 0);
    for (uint32_t i = 0; i < n; i++)
        out[i] = reversed[n - 1 - i];
    return n;
}

static DxStatus NumberToStr(int negative, uint32_t magnitude, char *buffer, uint32_t size,
                            uint32_t base, const char *digits)
{
    if (buffer == NULL || base < 2 || base > 16)
        return DX_BAD_ARGUMENTS;
    char text[34];
    uint32_t n = 0;
    if (negative)
        text[n++] = '-';
    n += FormatMagnitude(magnitude, base, digits, text + n);
    if (n + 1 > size) {
        if (size > 0)
            buffer[0] = '\0';
        return DX_BUFFER_IS_NOT_BIG_ENOUGH;
    }
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return DX_SUCCESS;
}

DxStatus DX_VOS_IntToStr(int32_t value, char *buffer, uint32_t size, uint32_t base)
{
    uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    return NumberToStr(value < 0, magnitude, buffer, size, base, s_UpperDigits);
}

DxStatus DX_VOS_UnsignedToStr(uint32_t value, char *buffer, uint32_t size, uint32_t base)
{
    return NumberToStr(0, value, buffer, size, base, s_UpperDigits);
}

static int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

DxStatus DX_VOS_NStrToInt(const char *text, uint32_t maxLength, int32_t *value, uint32_t base)
{
    if (base > 16 || base == 1 || value == NULL)
        return DX_BAD_ARGUMENTS;
    *value = 0;
    if (text == NULL)
        return 1;
    uint32_t i = 0;
#define AT_END (i >= maxLength || text[i] == '\0')
    while (!AT_END && (text[i] == ' ' || text[i] == '\t'))
        i++;
    int negative = 0;
    if (!AT_END && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        i++;
    }
    if (base == 0) {
        if (!AT_END && text[i] == 'b') {
            base = 2;
            i++;
        } else if (!AT_END && text[i] == '0') {
            i++;
            if (!AT_END && (text[i] == 'x' || text[i] == 'X')) {
                base = 16;
                i++;
            } else {
                base = 8;
            }
        } else {
            base = 10;
        }
    }
    /* A positive text may use every 32-bit pattern; a negative one reaches -2^31. */
    const uint64_t limit = negative ? 0x80000000ull : 0xFFFFFFFFull;
    uint64_t magnitude = 0;
    for (; !AT_END; i++) {
        int digit = DigitValue(text[i]);
        if (digit < 0 || (uint32_t)digit >= base)
            return DX_BAD_CONVERSION;
        magnitude = magnitude * base + (uint32_t)digit;
        if (magnitude > limit)
            return DX_OVERFLOW;
    }
#undef AT_END
    uint32_t bits = (uint32_t)magnitude;
    *value = (int32_t)(negative ? 0u - bits : bits);
    return DX_SUCCESS;
}

DxStatus DX_VOS_Utf16ToUtf8(char *buffer, uint32_t size, const uint16_t *text)
{
    if (buffer == NULL)
        return DX_BAD_ARGUMENTS;
    if (size == 0)
        return DX_BUFFER_IS_NOT_BIG_ENOUGH;
    uint32_t pos = 0;
    if (text != NULL) {
        for (uint32_t i = 0; text[i] != 0; i++) {
            uint32_t cp = text[i];
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                if (cp > 0xDBFF || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                    buffer[pos] = '\0';
                    return DX_BAD_CONVERSION;
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
                i++;
            }
            uint8_t bytes[4];
            uint32_t n;
            if (cp < 0x80) {
                bytes[0] = (uint8_t)cp;
                n = 1;
            } else if (cp < 0x800) {
                bytes[0] = (uint8_t)(0xC0 | (cp >> 6));
                bytes[1] = (uint8_t)(0x80 | (cp & 0x3F));
                n = 2;
            } else if (cp < 0x10000) {
                bytes[0] = (uint8_t)(0xE0 | (cp >> 12));
                bytes[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
                bytes[2] = (uint8_t)(0x80 | (cp & 0x3F));
                n = 3;
            } else {
                bytes[0] = (uint8_t)(0xF0 | (cp >> 18));
                bytes[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
                bytes[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
                bytes[3] = (uint8_t)(0x80 | (cp & 0x3F));
                n = 4;
            }
            if (pos + n + 1 > size) {
                buffer[pos] = '\0';
                return DX_BUFFER_IS_NOT_BIG_ENOUGH;
            }
            memcpy(buffer + pos, bytes, n);
            pos += n;
        }
    }
    buffer[pos] = '\0';
    return DX_SUCCESS;
}

DxStatus DX_VOS_StrNCopy(char *dst, uint32_t size, const char *src)
{
    if (dst == NULL || src == NULL)
        return DX_BAD_ARGUMENTS;
    if (size == 0)
        return DX_BUFFER_IS_NOT_BIG_ENOUGH;
    uint32_t length = DX_VOS_StrNLen(src, size);
    DxStatus status = DX_SUCCESS;
    if (length >= size) {
        length = size - 1;
        status = DX_BUFFER_IS_NOT_BIG_ENOUGH;
    }
    memmove(dst, src, length);
    dst[length] = '\0';
    return status;
}

uint32_t DX_VOS_StrNLen(const char *text, uint32_t maximum)
{
    if (text == NULL)
        return 0;
    uint32_t n = 0;
    while (n < maximum && text[n] != '\0')
        n++;
    return n;
}

const char *DX_VOS_StrChr(const char *text, char c)
{
    return text != NULL ? strchr(text, c) : NULL;
}

const char *DX_VOS_StrRChr(const char *text, char c)
{
    return text != NULL ? strrchr(text, c) : NULL;
}

void DX_VOS_StrToLower(char *text, uint32_t maximum)
{
    if (text == NULL)
        return;
    for (uint32_t i = 0; i < maximum && text[i] != '\0'; i++)
        if (text[i] >= 'A' && text[i] <= 'Z')
            text[i] = (char)(text[i] - 'A' + 'a');
}

void DX_VOS_PrintString(const char *text)
{
    printf("%s", text != NULL ? text : "");
}

/* ---- the formatter ---- */

typedef struct {
    char *buffer;
    uint32_t size;
    uint32_t pos;
    int full;
} FormatOutput;

/* Copies what fits (leaving room for the terminator); marks the output full when cut. */
static void Emit(FormatOutput *out, const char *text, uint32_t length)
{
    uint32_t room = out->size - 1 - out->pos;
    if (length > room) {
        length = room;
        out->full = 1;
    }
    memcpy(out->buffer + out->pos, text, length);
    out->pos += length;
}

static void EmitRepeated(FormatOutput *out, char c, uint32_t count)
{
    while (count-- > 0 && !out->full)
        Emit(out, &c, 1);
}

/* A number's text padded on the left; '0' padding goes after the sign. */
static void EmitNumber(FormatOutput *out, const char *text, uint32_t width, char pad)
{
    uint32_t length = (uint32_t)strlen(text);
    if (pad == '0' && text[0] == '-') {
        Emit(out, text, 1);
        text++;
        length--;
        if (width > 0)
            width--;
    }
    if (width > length)
        EmitRepeated(out, pad, width - length);
    Emit(out, text, length);
}

static void EmitHexBytes(FormatOutput *out, const uint8_t *bytes, uint32_t length,
                         const char *digits)
{
    for (uint32_t i = 0; i < length && !out->full; i++) {
        char pair[2] = {digits[bytes[i] >> 4], digits[bytes[i] & 0x0F]};
        if (out->size - 1 - out->pos < 2) {
            out->full = 1;
            break;
        }
        Emit(out, pair, 2);
    }
}

DxStatus DX_VOS_VSPrintf(char *buffer, uint32_t size, const char *format, va_list args)
{
    if (buffer == NULL || format == NULL)
        return DX_BAD_ARGUMENTS;
    if (size == 0)
        return DX_BUFFER_IS_NOT_BIG_ENOUGH;
    FormatOutput out = {buffer, size, 0, 0};
    DxStatus status = DX_SUCCESS;
    const char *p = format;

    while (*p != '\0' && !out.full) {
        if (*p != '%') {
            const char *run = p;
            while (*p != '\0' && *p != '%')
                p++;
            Emit(&out, run, (uint32_t)(p - run));
            continue;
        }
        p++;
        char pad = ' ';
        if (*p == '0') {
            pad = '0';
            p++;
        }
        uint32_t width = 0;
        for (int digits = 0; digits < DX_MAX_WIDTH_DIGITS && *p >= '0' && *p <= '9'; digits++)
            width = width * 10 + (uint32_t)(*p++ - '0');

        char number[40];
        char letter = *p;
        switch (letter) {
        case '%':
            Emit(&out, "%", 1);
            break;
        case 'd':
        case 'i':
            DX_VOS_IntToStr(va_arg(args, int32_t), number, sizeof number, 10);
            EmitNumber(&out, number, width, pad);
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            uint32_t value = va_arg(args, uint32_t);
            uint32_t base = letter == 'u' ? 10 : letter == 'o' ? 8 : 16;
            uint32_t n = FormatMagnitude(value, base, letter == 'x' ? s_LowerDigits : s_UpperDigits,
                                         number);
            number[n] = '\0';
            EmitNumber(&out, number, width, pad);
            break;
        }
        case 'c': {
            char c = (char)va_arg(args, int);
            Emit(&out, &c, 1);
            break;
        }
        case 's': {
            const char *text = va_arg(args, const char *);
            if (text == NULL)
                break;
            uint32_t length = (uint32_t)strlen(text);
            if (width > length)
                EmitRepeated(&out, pad, width - length);
            Emit(&out, text, length);
            break;
        }
        case 'S': {
            const uint16_t *text = va_arg(args, const uint16_t *);
            if (text == NULL)
                break;
            DxStatus converted = DX_VOS_Utf16ToUtf8(out.buffer + out.pos, out.size - out.pos, text);
            out.pos += (uint32_t)strlen(out.buffer + out.pos);
            if (converted == DX_BUFFER_IS_NOT_BIG_ENOUGH) {
                out.full = 1;
            } else if (converted != DX_SUCCESS) {
                status = converted;
                goto done;
            }
            break;
        }
        case 'b':
        case 'B': {
            const uint8_t *bytes = va_arg(args, const uint8_t *);
            uint32_t length = va_arg(args, uint32_t);
            if (bytes != NULL)
                EmitHexBytes(&out, bytes, length, letter == 'b' ? s_LowerDigits : s_UpperDigits);
            break;
        }
        case 'n': {
            const char *bytes = va_arg(args, const char *);
            uint32_t length = va_arg(args, uint32_t);
            if (bytes != NULL)
                Emit(&out, bytes, length);
            break;
        }
        default:
            status = DX_BAD_CONVERSION;
            goto done;
        }
        p++;
    }
    if (out.full || *p != '\0')
        status = DX_BUFFER_IS_NOT_BIG_ENOUGH;
done:
    out.buffer[out.pos] = '\0';
    return status;
}
