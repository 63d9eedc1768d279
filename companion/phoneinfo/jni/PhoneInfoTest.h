/* PhoneInfoTest: build settings and the output shared by its parts. */
#ifndef PHONEINFO_TEST_H
#define PHONEINFO_TEST_H

/* A test build moves every fixed device path under this prefix. */
#ifndef PHONEINFO_ROOT
#define PHONEINFO_ROOT ""
#endif
/* Interval between two looks at the modem's reply. */
#ifndef PHONEINFO_POLL_MS
#define PHONEINFO_POLL_MS 1000
#endif

#define ZELKDATA PHONEINFO_ROOT "/data/zelkdata/"

#if defined(PHONEINFO_X86)
#define PHONEINFO_BUILD "x86"
#define AT_CHANNEL PHONEINFO_ROOT "/dev/gsmtty19"
#define IMEI_COMMAND "AT+CGSN\r"
#elif defined(PHONEINFO_ARM)
#define PHONEINFO_BUILD "ARM"
#define AT_CHANNEL PHONEINFO_ROOT "/dev/smd7"
#define IMEI_COMMAND "AT+CNVM=1,550\r"
#else
#error "define PHONEINFO_X86 or PHONEINFO_ARM"
#endif

#define TAG "[PhoneInfoTest]"
#define USAGE TAG " Adb shell PhoneInfoTest Para1 Para2 [Para3]\r"

enum { EXIT_REPLY_TIME_OUT = 99 };

extern int g_ShowMessages;   /* debug mode: debug texts */
extern int g_ShowReplyLines; /* debug mode: the split reply lines */

/* A value line: the value and CR LF. */
void out_value(const char* value);
/* A code line, then in debug mode the debug text (printf format); returns the code. */
int out_code(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
/* A debug text, shown in debug mode only. */
void out_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* Item 1: the IMEI from the modem; returns the exit status. */
int read_imei(void);

/* Items read from the identity files; each returns the printed code. */
int read_file_item(const char* path, const char* name, int missingCode, const char* missingText);
int read_bt_address(void);
int read_wifi_addresses(void);

#endif
