// Keeps the program's log records until they are written to a log file. The store is changed
// only on the thread that owns it; other threads reach it through CLogQueue.
#pragma once
#include "LogRecord.h"
#include "OleDateTime.h"
#include "RylMap.h"

#include <cstdint>
#include <string>

namespace RYL {

// The hand-off message of the Windows design: wParam 0 from the application's log, 1 from the
// settings-file cipher; lParam the sender's record.
constexpr unsigned WM_LOG_RECORD = 0x8000 + 5000;

class CLogStore : public CRylMap<std::wstring, const wchar_t*, tagLogRecord, tagLogRecord&> {
public:
    // The parent (the Windows design's owner window) is kept only as an opaque value.
    explicit CLogStore(void* parent = nullptr);
    ~CLogStore() override;

    // Stores a copy under a new key and returns the key; empty when nothing was stored (empty
    // name, or a time that is not valid).
    std::wstring AddRecord(const tagLogRecord& record);
    // "%s_%f_%010I64u" of the name, the date and the sequence number, which then grows by one.
    bool MakeKey(std::wstring name, const COleDateTime& time, std::wstring& key);
    // The store's side of the hand-off: 1 for a null record, else the record is added and 0.
    intptr_t OnLogRecord(uintptr_t wParam, const tagLogRecord* record);
    // Writes the records of level at most maxLevel (as unsigned) in key order, UTF-16LE with a
    // byte-order mark, into a new file. The store is not changed.
    bool SaveToFile(std::wstring fileName, uint32_t maxLevel);
    void Clear();

    void* Parent() const { return m_parent; }

private:
    void* m_parent;
    uint64_t m_sequence = 0;
};

}  // namespace RYL
