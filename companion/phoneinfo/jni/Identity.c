/* Items read from the device's identity files under /data/zelkdata. */
#include "PhoneInfoTest.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

enum { WORD_SIZE = 256, MAC_SIZE = 6, WIFI_MACS = 4, ADDRESS_TEXT = 18 };

int read_file_item(const char* path, const char* name, int missingCode, const char* missingText)
{
    FILE* file = fopen(path, "r");
    if (!file)
        return out_code(missingCode, "%s", missingText);
    out_debug(TAG " Open %s file success.\r", name);
    char word[WORD_SIZE] = "";
    if (fscanf(file, "%255s", word) != 1)
        word[0] = '\0';
    fclose(file);
    out_value(word);
    return 0;
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)toupper((unsigned char)c);
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* An address written as XX:XX:XX:XX:XX:XX or as 12 hex digits at the start of text. Each
 * character is checked before the next one is read: text may end anywhere. */
static int parse_address_at(const char* text, unsigned char mac[MAC_SIZE])
{
    int colons = 0;
    for (int i = 0; i < MAC_SIZE; ++i) {
        int high = hex_value(text[0]);
        if (high < 0)
            return 0;
        int low = hex_value(text[1]);
        if (low < 0)
            return 0;
        mac[i] = (unsigned char)(high << 4 | low);
        text += 2;
        if (i == 0)
            colons = *text == ':';
        if (colons && i < MAC_SIZE - 1) {
            if (*text != ':')
                return 0;
            ++text;
        }
    }
    return !isxdigit((unsigned char)*text);
}

/* The first address in text. */
static int find_address(const char* text, unsigned char mac[MAC_SIZE])
{
    for (const char* p = text; *p; ++p) {
        if ((p == text || !isxdigit((unsigned char)p[-1])) && parse_address_at(p, mac))
            return 1;
    }
    return 0;
}

static void print_address(const unsigned char mac[MAC_SIZE])
{
    char text[ADDRESS_TEXT];
    snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    out_value(text);
}

#if defined(PHONEINFO_X86)

/* The WiFi addresses of mac.txt, one a line. */
static struct {
    unsigned char mac[WIFI_MACS][MAC_SIZE];
    int count;
} g_WifiZelkNv;

static void load_wifi_addresses(void)
{
    g_WifiZelkNv.count = 0;
    FILE* file = fopen(ZELKDATA "mac.txt", "r");
    if (!file)
        return;
    char line[WORD_SIZE];
    while (g_WifiZelkNv.count < WIFI_MACS && fgets(line, sizeof line, file)) {
        if (find_address(line, g_WifiZelkNv.mac[g_WifiZelkNv.count]))
            ++g_WifiZelkNv.count;
    }
    fclose(file);
}

static int read_bt_from_sources(unsigned char mac[MAC_SIZE])
{
    FILE* file = fopen(ZELKDATA "bd_addr.conf", "r");
    if (!file)
        return 0;
    char line[WORD_SIZE];
    int found = 0;
    while (!found && fgets(line, sizeof line, file))
        found = find_address(line, mac);
    fclose(file);
    return found;
}

#else

/* wifi.nv holds the WiFi addresses as 6-byte groups, one after the other. */
static struct {
    unsigned char mac[WIFI_MACS][MAC_SIZE];
    int count;
} g_WifiZelkNv;

static void load_wifi_addresses(void)
{
    g_WifiZelkNv.count = 0;
    FILE* file = fopen(ZELKDATA "wifi.nv", "rb");
    if (!file)
        return;
    while (g_WifiZelkNv.count < WIFI_MACS &&
           fread(g_WifiZelkNv.mac[g_WifiZelkNv.count], MAC_SIZE, 1, file) == 1)
        ++g_WifiZelkNv.count;
    fclose(file);
}

/* bt_nv.bin: records of an item id byte, a length byte and the data; item 1 is the address,
 * least significant byte first. */
static int read_bt_nv_file(unsigned char mac[MAC_SIZE])
{
    FILE* file = fopen(ZELKDATA "bt_nv.bin", "rb");
    if (!file)
        return 0;
    int found = 0;
    int id;
    while (!found && (id = fgetc(file)) != EOF) {
        int length = fgetc(file);
        unsigned char data[255];
        if (length == EOF || fread(data, 1, (size_t)length, file) != (size_t)length)
            break;
        if (id == 1 && length == MAC_SIZE) {
            for (int i = 0; i < MAC_SIZE; ++i)
                mac[i] = data[MAC_SIZE - 1 - i];
            found = 1;
        }
    }
    fclose(file);
    return found;
}

/* The Bluetooth NV tool's report first, bt_nv.bin when it names no address. */
static int read_bt_from_sources(unsigned char mac[MAC_SIZE])
{
    FILE* tool = popen("btnvtool -x 2>/dev/null", "r");
    if (tool) {
        char line[WORD_SIZE];
        int found = 0;
        while (!found && fgets(line, sizeof line, tool))
            found = find_address(line, mac);
        pclose(tool);
        if (found)
            return 1;
    }
    return read_bt_nv_file(mac);
}

#endif

int read_bt_address(void)
{
    unsigned char mac[MAC_SIZE];
    if (!read_bt_from_sources(mac))
        return out_code(23, TAG "[ERROR.23] BT Mac Read Fail.\r");
    print_address(mac);
    return 0;
}

int read_wifi_addresses(void)
{
    load_wifi_addresses();
    for (int i = 0; i < WIFI_MACS; ++i) {
        if (i >= g_WifiZelkNv.count)
            return out_code(29 + i, TAG "[ERROR.%d] WIFI Mac%d Read Fail.\r", 29 + i, i + 1);
        print_address(g_WifiZelkNv.mac[i]);
    }
    return 0;
}
