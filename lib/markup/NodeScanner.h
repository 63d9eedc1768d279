// The tokenizer of the markup document: one node (tag, text, comment, ...) per ParseNode call.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace RYL {

enum NodeKind : int {
    kNodeEndTag = 0,
    kNodeStartTag = 1,
    kNodeText = 2,
    kNodeWhitespace = 4,
    kNodeCData = 8,
    kNodeProcessing = 16,
    kNodeComment = 32,
    kNodeDocType = 64,
    kNodeError = -1,
    kNodeEnd = -2,
};

inline constexpr uint32_t kTokenEmptyElement = 0x10000;  // a start tag that ends with "/>"

struct NodeToken {
    int kind = kNodeEnd;
    size_t start = 0;
    size_t length = 0;
    uint32_t flags = 0;
    std::wstring errors;  // results of this token's syntax errors
};

// More text for a scanner that reached the end of what is loaded (read-file mode).
class TextSource {
public:
    virtual ~TextSource() = default;
    // Appends to the text; false when nothing is left. tokenStart: where the unfinished token began.
    virtual bool More(size_t tokenStart) = 0;
    virtual const wchar_t* Text() const = 0;
};

class NodeScanner {
public:
    // The text must end with a NUL unit. errorLimit: while it holds 1000 units or more (or is
    // null) no error texts are built.
    NodeScanner(const wchar_t* text, size_t pos, uint32_t mode, const std::wstring* errorLimit);

    void SetSource(TextSource* source) { source_ = source; }

    // Takes the next token; every token but kNodeEnd advances the position.
    void ParseNode(NodeToken& token);

    size_t Position() const { return pos_; }
    // The tag name of the last start tag, end tag or processing instruction: [NameStart, NameEnd).
    size_t NameStart() const { return nameStart_; }
    size_t NameEnd() const { return nameEnd_; }
    const wchar_t* Text() const { return text_; }

private:
    wchar_t Peek() {
        wchar_t c = text_[pos_];
        return c ? c : Refill();
    }
    wchar_t Refill();
    [[gnu::always_inline]] inline void ScanName();  // in every tag: kept out of a call
    int ScanText();
    [[gnu::always_inline]] inline int ScanMarkup(NodeToken& token);  // tags are most tokens: no call
    int ScanStartTag(NodeToken& token);
    int ScanDocType(NodeToken& token);
    // Up to a '>' after count units equal to unit, all at or after contentStart.
    bool ScanTo(wchar_t unit, size_t count, size_t contentStart);
    bool ScanDeclaration();
    int SyntaxError(NodeToken& token, const wchar_t* name);
    int Unterminated(NodeToken& token, const wchar_t* type);
    bool WantErrors() const { return errorLimit_ && errorLimit_->size() < 1000; }

    const wchar_t* text_;
    size_t pos_;
    size_t tokenStart_ = 0;
    size_t nameStart_ = 0;
    size_t nameEnd_ = 0;
    uint32_t mode_;
    const std::wstring* errorLimit_;
    TextSource* source_ = nullptr;
};

}  // namespace RYL
