// MarkupDocument: a lenient XML reader over a text in memory. Parsing indexes every element it
// recognises, never fails hard and records each markup problem in the result text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "markup/ElementTree.h"
#include "markup/MarkupText.h"

namespace RYL {

class NodeScanner;
class ElementStack;
class TextSource;
struct FileState;

// Mode word bits of the file modes (the others are in MarkupText.h).
inline constexpr uint32_t kModeReadFile = 0x10;
inline constexpr uint32_t kModeWriteFile = 0x20;

// Flags of AddElem (kEscapeKeepReferences passes through to EscapeText).
inline constexpr int kAddCData = 0x1;           // the value goes in a CDATA section
inline constexpr int kAddNoLineBreaks = 0x2;
inline constexpr int kAddSpaceBeforeSlash = 0x4;  // "<name />"
inline constexpr int kAddNoEndTag = 0x10;       // "<name>" alone; refuses a value
inline constexpr int kAddBefore = 0x2000;       // before the current element instead of after it
inline constexpr int kAddChild = 0x4000;        // as a child of the current element

// Flags of AddResult: which attribute takes the text and the number.
inline constexpr int kResultCount = 0x1;
inline constexpr int kResultType = 0x2;
inline constexpr int kResultN = 0x4;
inline constexpr int kResultEncoding = 0x8;
inline constexpr int kResultLength = 0x10;
inline constexpr int kResultFind = 0x20;  // add to the first element of that name instead of a new one
inline constexpr int kResultMsg = 0x40;

// Appends the element name (with the text and numbers as attributes) to a result text, unless it
// already holds 1000 units or more. number -1 (without a flag naming it) and number2 -1 are left out.
void AddResult(std::wstring& result, const wchar_t* name, const wchar_t* text = nullptr, int flags = 0,
               int number = -1, int number2 = -1);

class MarkupDocument {
public:
    MarkupDocument();
    explicit MarkupDocument(const wchar_t* text);
    ~MarkupDocument();
    MarkupDocument(const MarkupDocument&) = delete;
    MarkupDocument& operator=(const MarkupDocument&) = delete;

    // Keeps a copy of the text and parses it; true when it is well formed. Refused in a file mode.
    bool SetDocument(const std::wstring& text);
    bool SetDocument(std::wstring&& text);  // takes the text over
    bool SetDocument(const wchar_t* text);  // null: an empty document, index freed
    bool IsWellFormed() const;

    // Moves to the next element of that name among the siblings after the current one (an empty
    // or null name takes any element); false, with nothing changed, when there is none.
    bool FindElement(const wchar_t* name);
    bool StepInto();
    bool StepOut();
    std::wstring GetText() const;
    std::wstring GetNodeText(uint32_t pos) const;
    bool SetPosition(uint32_t parent, uint32_t current, uint32_t child);

    bool AddElem(const wchar_t* name, const wchar_t* value, int flags);
    bool SetAttrib(uint32_t pos, const wchar_t* name, const wchar_t* value, int flags);
    bool SetAttrib(uint32_t pos, const wchar_t* name, int value, int flags);

    const std::wstring& GetDocument() const { return text_; }
    // The problems the last parse found, as a sequence of empty elements.
    const std::wstring& GetResult() const { return result_; }
    uint32_t GetParentPosition() const { return parentPos_; }
    uint32_t GetCurrentPosition() const { return currentPos_; }
    uint32_t GetChildPosition() const { return childPos_; }
    // Copies the record at pos (records move in memory when the index grows); false for a
    // position that was not handed out.
    bool GetRecord(uint32_t pos, ElementRecord& record) const;
    uint32_t GetMode() const { return mode_; }
    // Sets the options of the mode word (kModeFoldNames, kModeTrimWhitespace,
    // kModeCollapseWhitespace); the file bits stay as OpenFile and CloseFile set them.
    void SetModeWord(uint32_t mode);

    // Opens a document file. kModeReadFile reads and parses it chunk by chunk, converting it to
    // text; kModeWriteFile writes added elements out whenever the text would outgrow chunkBytes
    // (and its buffer). An empty encoding means: from the byte-order mark, the declaration or
    // UTF-8 detection when reading; from the declaration, else UTF-8, when writing. False on a
    // file error (see GetFileResult) or in a file mode already.
    bool OpenFile(const std::wstring& path, uint32_t fileMode, const std::wstring& encoding = L"",
                  size_t chunkBytes = 16384);
    // Leaves the file mode; in write-file mode the rest of the text is written first. False on a
    // file error.
    bool CloseFile();
    // What the file modes did: elements "read", "write", "nulls_removed", "endian_swap",
    // "utf8_detection", "converted_to", "converted_from", "conversion_loss", "truncation_error"
    // and "file_error", attributes as in the parse result.
    const std::wstring& GetFileResult() const;

private:
    friend class FileTextSource;
    bool Parse();
    uint32_t ParseElements(NodeScanner& scanner, uint32_t parseParent);
    // Inlined: every end tag passes through it.
    [[gnu::always_inline]] inline bool CloseUnended(ElementStack& stack, int level, uint32_t offset2,
                                                    uint32_t parseParent);
    void SetDepths(uint32_t first);
    void EnsureCapacity(uint32_t n);
    uint32_t NewPosition() {
        if (!freeList_ && nextFree_ < tree_.Capacity()) return uint32_t(nextFree_++);
        return NewPositionSlowly();
    }
    uint32_t NewPositionSlowly();  // from the free list, or after growing the index
    bool IsPosition(uint32_t pos) const {
        return pos < uint32_t(nextFree_) && int64_t(pos) < tree_.Capacity() && !(tree_[pos].flags & kElemFreePosition);
    }
    size_t TagNameLength(uint32_t pos) const;
    uint32_t NextInDocumentOrder(uint32_t pos, bool intoChildren) const;
    uint32_t NextInSubtree(uint32_t pos, uint32_t root) const;  // 0 after root's last descendant

    size_t InsertionPoint(uint32_t parent, uint32_t previous, int flags) const;
    void OpenEmptyParent(uint32_t parent);
    size_t InsertNodeText(uint32_t parent, uint32_t previous, const std::wstring& node, int flags);
    void LinkElement(uint32_t parent, uint32_t previous, uint32_t pos, bool before);
    void ShiftFollowing(uint32_t pos, uint32_t delta);
    bool SetAttribText(uint32_t pos, const wchar_t* name, const std::wstring& value, int flags);

    // File modes (MarkupFile.cpp).
    std::unique_ptr<TextSource> ReadSource();
    bool ReadChunk();
    bool WriteBeforeGrowth(uint32_t parent, uint32_t& previous, int& flags, size_t growth);
    bool WriteBeforeAttribute(uint32_t pos, size_t growth);
    bool WriteText(size_t length);
    void DropWrittenText(size_t length);
    void FreeSubtree(uint32_t pos);
    void FileError();

    std::wstring text_;
    std::wstring result_;
    uint32_t parentPos_ = 0;
    uint32_t currentPos_ = 0;
    uint32_t childPos_ = 0;
    int32_t nextFree_ = 1;
    int32_t freeList_ = 0;   // write-file mode
    int32_t nodeKind_ = 0;   // 1: the current position is an element
    int32_t nodeOffset_ = 0; // a current node that is not an element
    int32_t nodeLength_ = 0;
    uint32_t mode_ = 0;
    std::unique_ptr<FileState> file_;
    std::vector<std::map<std::wstring, uint32_t>> savedPositions_;
    ElementTree tree_;
};

}  // namespace RYL
