/* PhoneInfoTest Para1 Para2 [Para3] [!]: reads one identity item of the device. */
#include "PhoneInfoTest.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int g_ShowMessages;
int g_ShowReplyLines;

enum { MAX_COMMAND_LENGTH = 128, MAX_WRITE_DATA_LENGTH = 127 };

void out_value(const char* value)
{
    printf("%s\r\n", value);
}

static void vout_debug(const char* format, va_list args)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    size_t length = strlen(text);
    fputs(text, stdout);
    if (length == 0 || text[length - 1] != '\n')
        fputs("\n", stdout);
}

void out_debug(const char* format, ...)
{
    if (!g_ShowMessages)
        return;
    va_list args;
    va_start(args, format);
    vout_debug(format, args);
    va_end(args);
}

int out_code(int code, const char* format, ...)
{
    printf("%d\r\n", code);
    if (g_ShowMessages) {
        va_list args;
        va_start(args, format);
        vout_debug(format, args);
        va_end(args);
    }
    return code;
}

static int is(const char* text, const char* word)
{
    return text && strcmp(text, word) == 0;
}

static int is_write_request(const char* item, const char* direction)
{
    return is(direction, "1") ||
           (is(item, "3") && (is(direction, "2") || is(direction, "3") || is(direction, "4")));
}

static int read_item(const char* item)
{
    if (is(item, "0"))
        return read_file_item(ZELKDATA "SSN", "SSN", 33, TAG "[ERROR.33] SSN File Not Exist.\r");
    if (is(item, "1"))
        return read_imei();
    if (is(item, "2"))
        return read_bt_address();
    if (is(item, "3"))
        return read_wifi_addresses();
    if (is(item, "4"))
        return read_file_item(ZELKDATA "ISN", "ISN", 36, TAG "[ERROR.36] ISN File Not Exist.\r");
    if (is(item, "6"))
        return read_file_item(ZELKDATA "COUNTRY", "Country Code", 39,
                              TAG "[ERROR.39] Country Code File Not Exist.\r");
#if defined(PHONEINFO_X86)
    if (is(item, "7"))
        return read_file_item(ZELKDATA "COLOR", "Color ID", 43,
                              TAG "[ERROR.43] Color ID File Not Exist.\r");
    if (is(item, "8"))
        return read_file_item(ZELKDATA "CUSTOMER", "Customer ID", 46,
                              TAG "[ERROR.46] Customer ID File Not Exist.\r");
#endif
    return out_code(4, TAG "[ERROR.04] Command Para1 Error.\r\n" USAGE);
}

int main(int argc, char** argv)
{
    if (argc > 1 && is(argv[1], "version")) {
        printf(TAG " Version 1.0 (" PHONEINFO_BUILD ")\r\n");
        return 0;
    }

    const char* item = argc > 1 ? argv[1] : NULL;
    const char* direction = argc > 2 ? argv[2] : NULL;
    const char* data = NULL;
    if (argc > 3 && is(argv[3], "!")) {
        g_ShowMessages = g_ShowReplyLines = 1;
    } else if (argc > 3) {
        data = argv[3];
        if (argc > 4 && is(argv[4], "!"))
            g_ShowMessages = g_ShowReplyLines = 1;
    }
    out_debug(TAG " DEBUG MODE\r");

    if (!item || !direction)
        return out_code(1, TAG "[ERROR.01] Please Enter Command Parameter.\r\n" TAG
                           "[ERROR.01] Adb shell PhoneInfoTest Para1 Para2 [Para3]\r");
    const int write = is_write_request(item, direction);
    if (write && !data)
        return out_code(2, TAG "[ERROR.02] Please Enter Command Para3 For Write data.\r\n" TAG
                           "[ERROR.02] Adb shell PhoneInfoTest Para1 Para2 [Para3]\r");
    if (strlen(item) > MAX_COMMAND_LENGTH || strlen(direction) > MAX_COMMAND_LENGTH)
        return out_code(26, TAG "[ERROR.26] Command Length Error.\r");
    if (write && strlen(data) > MAX_WRITE_DATA_LENGTH)
        return out_code(25, TAG "[ERROR.25] Write Data Length Too Long.\r");
    if (write)
        return out_code(40, TAG "[ERROR.40] PhoneInfoTest APK not support write command.\r");
    if (!is(direction, "0"))
        return out_code(5, TAG "[ERROR.05] Command Para2 Error.\r\n" USAGE);
    return read_item(item);
}
