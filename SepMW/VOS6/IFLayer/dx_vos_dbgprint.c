/* Levelled debug print, per-thread log file and error stack. */
#include "DX_VOS.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#define DBG_TEXT_SIZE 20u
#define DBG_FLUSH_TICKS 1000u
#define DBG_ERROR_MODULE 0x80000000u
#define DBG_ERROR_LEVEL 10u

uint32_t DX_VOS_DbgPrint_DebugLevel = 0xFFFFFFFFu;
uint32_t DX_VOS_DbgPrint_ModulesMask = 0xFFFFFFFFu;
DX_VOS_PrintFunc_t DX_VOS_DbgPrint_PrintFunc = DX_VOS_DebugFilePrint;
uint32_t DX_VOS_DbgPrint_ShouldPrintFileName = 1;
uint32_t DX_VOS_DbgPrint_ShouldPrintLineNum = 1;
uint32_t DX_VOS_DbgPrint_ShouldPrintFuncName = 1;
const char *DX_VOS_DbgPrint_TimeFormat = "%02d:%02d:%02d";
const char *DX_VOS_DbgPrint_DateFormat = "%02d.%02d.%02d";
char g_DxDebugFileName[DX_VOS_MAX_PATH] = "";

void *g_DxDebugFile = NULL;
void *g_LastDbgFlash = NULL;
void *g_DbgPrintDisabled = NULL;
void *g_DxErrorStack = NULL;
void *g_DxErrorDisabled = NULL;

void DX_VOS_ThreadStoragePut(void **slot, void *value)
{
    if (slot != NULL)
        *slot = value;
}

void *DX_VOS_ThreadStorageGet(void **slot)
{
    return slot != NULL ? *slot : NULL;
}

int DX_VOS_IsLogFileOpened(void)
{
    return g_DxDebugFileName[0] != '\0';
}

void DX_VOS_DebugPrint(uint32_t moduleMask, const char *file, uint32_t line, const char *func,
                       uint32_t level, const char *format, ...)
{
    if (level > DX_VOS_DbgPrint_DebugLevel || DX_VOS_DbgPrint_PrintFunc == NULL ||
        (moduleMask & DX_VOS_DbgPrint_ModulesMask) == 0 ||
        DX_VOS_ThreadStorageGet(&g_DbgPrintDisabled) != NULL)
        return;

    DxErrorStack_Log(DBG_ERROR_MODULE, DBG_ERROR_LEVEL);

    char timeText[DBG_TEXT_SIZE] = "";
    char dateText[DBG_TEXT_SIZE] = "";
    if (DX_VOS_DbgPrint_TimeFormat != NULL || DX_VOS_DbgPrint_DateFormat != NULL) {
        DxTimeStruct now;
        if (DX_VOS_GetLocalTime(DX_VOS_GetTime(), &now) == DX_SUCCESS) {
            if (DX_VOS_DbgPrint_TimeFormat != NULL)
                DX_VOS_SPrintf(timeText, sizeof timeText, DX_VOS_DbgPrint_TimeFormat, now.hour,
                               now.minute, now.second);
            if (DX_VOS_DbgPrint_DateFormat != NULL)
                DX_VOS_SPrintf(dateText, sizeof dateText, DX_VOS_DbgPrint_DateFormat, now.day,
                               now.month, now.year);
        }
    }

    DX_VOS_ThreadStoragePut(&g_DbgPrintDisabled, (void *)1);
    va_list args;
    va_start(args, format);
    DX_VOS_DbgPrint_PrintFunc(moduleMask, level,
                              DX_VOS_DbgPrint_ShouldPrintFileName ? file : NULL,
                              DX_VOS_DbgPrint_ShouldPrintLineNum ? line : 0,
                              DX_VOS_DbgPrint_ShouldPrintFuncName ? func : NULL, dateText,
                              timeText, format, args);
    va_end(args);
    DX_VOS_ThreadStoragePut(&g_DbgPrintDisabled, NULL);
}

static DxVosFile LogFileSlot(void)
{
    return (DxVosFile)(uintptr_t)DX_VOS_ThreadStorageGet(&g_DxDebugFile);
}

DxStatus DX_VOS_InnerOpenLogFile(void)
{
    char name[DX_VOS_MAX_PATH];
    DxStatus status = DX_VOS_SPrintf(name, sizeof name, "%s_%d.DxLog", g_DxDebugFileName,
                                     DX_VOS_GetCurrThreadId());
    if (status != DX_SUCCESS)
        return status;
    DxVosFile file = 0;
    status = DX_VOS_FileOpen(&file, name, DX_FILE_TRUNCATE_READ_WRITE);
    if (status != DX_SUCCESS)
        return status;
    if (file == 0) {
        /* The slot holds 0 for no log file: one on descriptor 0 would be opened again (and
         * truncated) on every record. */
        int moved = fcntl(0, F_DUPFD_CLOEXEC, 1);
        DX_VOS_BaseFClose(file);
        if (moved < 0)
            return DX_VOS_FILE_ERROR;
        file = (DxVosFile)moved;
    }
    DX_VOS_FPrintf(file, "Module\tLevel\tTick Count\t");
    if (DX_VOS_DbgPrint_ShouldPrintFileName)
        DX_VOS_FPrintf(file, "File\t");
    if (DX_VOS_DbgPrint_ShouldPrintLineNum)
        DX_VOS_FPrintf(file, "Line\t");
    if (DX_VOS_DbgPrint_ShouldPrintFuncName)
        DX_VOS_FPrintf(file, "Function\t");
    if (DX_VOS_DbgPrint_DateFormat != NULL)
        DX_VOS_FPrintf(file, "Date\t");
    if (DX_VOS_DbgPrint_TimeFormat != NULL)
        DX_VOS_FPrintf(file, "Time\t");
    DX_VOS_FPrintf(file, "Message");
    DX_VOS_ThreadStoragePut(&g_DxDebugFile, (void *)(uintptr_t)file);
    return DX_SUCCESS;
}

void DX_VOS_DebugFilePrint(uint32_t module, uint32_t level, const char *file, uint32_t line,
                           const char *func, const char *date, const char *time,
                           const char *format, va_list args)
{
    if (!DX_VOS_IsLogFileOpened())
        return;
    if (LogFileSlot() == 0 && DX_VOS_InnerOpenLogFile() != DX_SUCCESS)
        return;
    DxVosFile out = LogFileSlot();
    uint32_t tick = DX_VOS_GetTickCount();

    DX_VOS_FPrintf(out, "\r\n");
    DX_VOS_FPrintf(out, "%08X\t%d\t%d\t", module, level, tick);
    if (DX_VOS_DbgPrint_ShouldPrintFileName) {
        DX_VOS_FPrintf(out, "%s", file);
        DX_VOS_FPrintf(out, "\t");
    }
    if (DX_VOS_DbgPrint_ShouldPrintLineNum) {
        if (line != 0)
            DX_VOS_FPrintf(out, "%d", line);
        DX_VOS_FPrintf(out, "\t");
    }
    if (DX_VOS_DbgPrint_ShouldPrintFuncName) {
        DX_VOS_FPrintf(out, "%s", func);
        DX_VOS_FPrintf(out, "\t");
    }
    DX_VOS_FPrintf(out, "%s", date);
    DX_VOS_FPrintf(out, "\t");
    DX_VOS_FPrintf(out, "%s", time);
    DX_VOS_FPrintf(out, "\t");
    DX_VOS_VFPrintf(out, format, args);

    uint32_t last = (uint32_t)(uintptr_t)DX_VOS_ThreadStorageGet(&g_LastDbgFlash);
    if (tick - last > DBG_FLUSH_TICKS) {
        DX_VOS_FFlush(out);
        DX_VOS_ThreadStoragePut(&g_LastDbgFlash, (void *)(uintptr_t)tick);
    }
}

void DX_VOS_DebugStdoutPrint(uint32_t module, uint32_t level, const char *file, uint32_t line,
                             const char *func, const char *date, const char *time,
                             const char *format, va_list args)
{
    (void)module;
    (void)level;
    DX_VOS_Printf("\r\n");
    if (file != NULL)
        DX_VOS_Printf("File: %s, ", file);
    if (line != 0)
        DX_VOS_Printf("Line: %d, ", line);
    if (func != NULL)
        DX_VOS_Printf("Function: %s, ", func);
    if (date != NULL && date[0] != '\0')
        DX_VOS_Printf("%s ", date);
    if (time != NULL && time[0] != '\0')
        DX_VOS_Printf("%s ", time);
    DX_VOS_VPrintf(format, args);
}

void DxErrorStack_Add(const char *file, uint32_t line, const char *func, DxStatus code,
                      const char *name)
{
    DxErrorStack *stack = (DxErrorStack *)DX_VOS_ThreadStorageGet(&g_DxErrorStack);
    if (!DX_VOS_IsLogFileOpened() || stack == NULL || stack->count >= DX_ERROR_STACK_ENTRIES)
        return;
    if (stack->count > 0 && stack->entries[stack->count - 1].code == code)
        name = stack->entries[stack->count - 1].name;
    DxErrorStackEntry *entry = &stack->entries[stack->count++];
    entry->file = file;
    entry->function = func;
    entry->name = name;
    entry->line = line;
    entry->code = code;
}

void DxErrorStack_Log(uint32_t module, uint32_t level)
{
    DxErrorStack *stack = (DxErrorStack *)DX_VOS_ThreadStorageGet(&g_DxErrorStack);
    if (!DX_VOS_IsLogFileOpened() || stack == NULL || stack->count == 0)
        return;
    /* Detached while printing, so that the prints do not log the stack again. */
    DX_VOS_ThreadStoragePut(&g_DxErrorStack, NULL);
    for (uint32_t i = 0; i < stack->count; i++) {
        const DxErrorStackEntry *e = &stack->entries[i];
        DX_VOS_DebugPrint(module, e->file, e->line, e->function, level, "Error: 0x%08X(%s)",
                          e->code, e->name);
    }
    stack->count = 0;
    DX_VOS_ThreadStoragePut(&g_DxErrorStack, stack);
}
