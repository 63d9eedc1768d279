/* DX_VOS: the operating-system layer under the SEP middleware. */
#ifndef DX_VOS_H
#define DX_VOS_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DxStatus;

#define DX_SUCCESS 0u
#define DX_VOS_FILE_OPEN_TYPE_NOT_SUPPORTED 0x2000000u
#define DX_BAD_ARGUMENTS 0x2000001u
#define DX_BUFFER_IS_NOT_BIG_ENOUGH 0x2000003u
#define DX_BAD_CONVERSION 0x2000006u
#define DX_OVERFLOW 0x2000007u
#define DX_VOS_FILE_ERROR 0xA000000u

#define DX_VOS_MAX_PATH 260u

/* ---- guarded heap and memory ---- */

#define DX_VOS_HEAP_PREFIX 0x12345678u
#define DX_VOS_HEAP_SUFFIX 0x87654321u

extern uint32_t DxMemoryUsage;

void *_DX_VOS_MemMalloc(uint32_t size);
void _DX_VOS_MemFree(void *ptr);
DxStatus DX_VOS_MemCpy(void *dst, uint32_t dstSize, const void *src, uint32_t count);
void DX_VOS_FastMemCpy(void *dst, const void *src, uint32_t count);
void DX_VOS_MemSet6(void *ptr, uint8_t value, uint32_t count);
void DX_VOS_MemSetZero6(void *ptr, uint32_t count);

/* ---- debug print, log file and error stack ---- */

typedef void (*DX_VOS_PrintFunc_t)(uint32_t module, uint32_t level, const char *file, uint32_t line,
                                   const char *func, const char *date, const char *time,
                                   const char *format, va_list args);

extern uint32_t DX_VOS_DbgPrint_DebugLevel;
extern uint32_t DX_VOS_DbgPrint_ModulesMask;
extern DX_VOS_PrintFunc_t DX_VOS_DbgPrint_PrintFunc;
extern uint32_t DX_VOS_DbgPrint_ShouldPrintFileName;
extern uint32_t DX_VOS_DbgPrint_ShouldPrintLineNum;
extern uint32_t DX_VOS_DbgPrint_ShouldPrintFuncName;
extern const char *DX_VOS_DbgPrint_TimeFormat;
extern const char *DX_VOS_DbgPrint_DateFormat;
extern char g_DxDebugFileName[DX_VOS_MAX_PATH];

#define DX_ERROR_STACK_ENTRIES 50u

typedef struct {
    const char *file;
    const char *function;
    const char *name;
    uint32_t line;
    DxStatus code;
} DxErrorStackEntry;

typedef struct {
    uint32_t count;
    DxErrorStackEntry entries[DX_ERROR_STACK_ENTRIES];
} DxErrorStack;

/* Per-thread slots: one global each, since the thread id is always 0. */
extern void *g_DxDebugFile;      /* DxVosFile of the open log file, as a slot value; null when none */
extern void *g_LastDbgFlash;     /* tick of the last flush */
extern void *g_DbgPrintDisabled; /* non-null while a print is under way */
extern void *g_DxErrorStack;     /* DxErrorStack * */
extern void *g_DxErrorDisabled;

void DX_VOS_DebugPrint(uint32_t moduleMask, const char *file, uint32_t line, const char *func,
                       uint32_t level, const char *format, ...);
void DX_VOS_DebugFilePrint(uint32_t module, uint32_t level, const char *file, uint32_t line,
                           const char *func, const char *date, const char *time,
                           const char *format, va_list args);
void DX_VOS_DebugStdoutPrint(uint32_t module, uint32_t level, const char *file, uint32_t line,
                             const char *func, const char *date, const char *time,
                             const char *format, va_list args);
DxStatus DX_VOS_InnerOpenLogFile(void);
int DX_VOS_IsLogFileOpened(void);
void DxErrorStack_Add(const char *file, uint32_t line, const char *func, DxStatus code,
                      const char *name);
void DxErrorStack_Log(uint32_t module, uint32_t level);

void DX_VOS_ThreadStoragePut(void **slot, void *value);
void *DX_VOS_ThreadStorageGet(void **slot);

typedef struct {
    uint32_t year;
    uint32_t month;
    uint32_t day;
    uint32_t hour;
    uint32_t minute;
    uint32_t second;
} DxTimeStruct;

uint32_t DX_VOS_GetTime(void);
uint32_t DX_VOS_GetTickCount(void);
uint32_t DX_VOS_GetCurrThreadId(void);
DxStatus DX_VOS_GetLocalTime(uint32_t secondsSince1970, DxTimeStruct *out);

/* ---- files ---- */

typedef uint32_t DxVosFile; /* a descriptor of the platform; 0 when none */

#define DX_FILE_CREATE_NEW 1u
#define DX_FILE_OPEN_EXISTING 4u
#define DX_FILE_CREATE_OR_TRUNCATE 11u
#define DX_FILE_OPEN_READ_WRITE 12u
#define DX_FILE_CREATE_READ_WRITE 13u
#define DX_FILE_TRUNCATE_READ_WRITE 15u

DxStatus DX_VOS_FOpen(DxVosFile *handle, const char *path, const char *mode);
DxStatus DX_VOS_BaseFOpen(DxVosFile *handle, const char *path, const char *mode);
DxStatus DX_VOS_FileOpen(DxVosFile *handle, const char *path, uint32_t type);
DxStatus DX_VOS_BaseFileOpen(DxVosFile *handle, const char *path, uint32_t type);
/* Handle 0 stands for no file here; callers that keep their own open state close any
 * descriptor, 0 included, with DX_VOS_BaseFClose. */
DxStatus DX_VOS_FClose(DxVosFile handle);
DxStatus DX_VOS_BaseFClose(DxVosFile handle);
DxStatus DX_VOS_FReadEx(DxVosFile handle, void *buffer, uint32_t size, int32_t *count);
DxStatus DX_VOS_FWrite(DxVosFile handle, const void *data, uint32_t length);
DxStatus DX_VOS_FSeekEx(DxVosFile handle, int64_t offset, int whence);
DxStatus DX_VOS_FFlush(DxVosFile handle);
DxStatus DX_VOS_FGetFileSize(DxVosFile handle, uint64_t *size);
DxStatus DX_VOS_CreateDirectory(const char *path);
DxStatus DX_VOS_BaseCreateDirectory(const char *path);
void DX_VOS_BaseLogFileResult(void);

/* ---- formatting and strings ---- */

DxStatus DX_VOS_Printf(const char *format, ...);
DxStatus DX_VOS_SPrintf(char *buffer, uint32_t size, const char *format, ...);
DxStatus DX_VOS_VSPrintf(char *buffer, uint32_t size, const char *format, va_list args);
DxStatus DX_VOS_VPrintf(const char *format, va_list args);
DxStatus DX_VOS_VFPrintf(DxVosFile handle, const char *format, va_list args);
DxStatus DX_VOS_FPrintf(DxVosFile handle, const char *format, ...);

DxStatus DX_VOS_NStrToInt(const char *text, uint32_t maxLength, int32_t *value, uint32_t base);
DxStatus DX_VOS_IntToStr(int32_t value, char *buffer, uint32_t size, uint32_t base);
DxStatus DX_VOS_UnsignedToStr(uint32_t value, char *buffer, uint32_t size, uint32_t base);
DxStatus DX_VOS_Utf16ToUtf8(char *buffer, uint32_t size, const uint16_t *text);
DxStatus DX_VOS_StrNCopy(char *dst, uint32_t size, const char *src);
uint32_t DX_VOS_StrNLen(const char *text, uint32_t maximum);
const char *DX_VOS_StrChr(const char *text, char c);
const char *DX_VOS_StrRChr(const char *text, char c);
void DX_VOS_StrToLower(char *text, uint32_t maximum);
void DX_VOS_PrintString(const char *text);

#ifdef __cplusplus
}
#endif

#endif
