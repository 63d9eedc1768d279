#include "markup/NodeScanner.h"

#include "markup/MarkupDocument.h"
#include "markup/MarkupText.h"

namespace RYL {
namespace {

bool IsNameStart(wchar_t c) {
    return c == L':' || c == L'_' || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
           uint32_t(c) >= L'{';
}

// Name units are mostly letters, above all of these.
bool EndsName(wchar_t c) { return c <= L'>' && (c == 0 || c == L'/' || c == L'>' || IsMarkupSpace(c)); }

bool IsSpaceOrQuote(wchar_t c) { return IsMarkupSpace(c) || c == L'"' || c == L'\''; }

// Follows attribute values inside a tag: quotes count only after '='.
struct ValueTracker {
    wchar_t quote = 0;
    bool afterEquals = false;
    bool unquoted = false;

    // True when c lies inside a quoted value or closes it.
    bool Quoted(wchar_t c) {
        if (!quote) return false;
        if (c == quote) quote = 0;
        return true;
    }
    // Any other unit but a '>'.
    void Take(wchar_t c) {
        if (unquoted) {
            if (IsMarkupSpace(c)) unquoted = false;
        } else if (afterEquals) {
            if (IsMarkupSpace(c)) return;
            afterEquals = false;
            if (c == L'"' || c == L'\'') quote = c;
            else unquoted = true;
        } else if (c == L'=') {
            afterEquals = true;
        }
    }
};

}  // namespace

NodeScanner::NodeScanner(const wchar_t* text, size_t pos, uint32_t mode, const std::wstring* errorLimit)
    : text_(text), pos_(pos), mode_(mode), errorLimit_(errorLimit) {}

void NodeScanner::ParseNode(NodeToken& token) {
    token.flags = 0;
    token.errors.clear();
    tokenStart_ = pos_;
    wchar_t c = Peek();
    if (c == 0) {
        token.kind = kNodeEnd;
        token.start = 0;
        token.length = 0;
        return;
    }
    token.kind = c == L'<' ? ScanMarkup(token) : ScanText();
    token.start = tokenStart_;
    token.length = pos_ - tokenStart_;
}

inline void NodeScanner::ScanName() {
    nameStart_ = pos_;
    size_t p = pos_;
    for (;;) {
        wchar_t c = text_[p];
        if (!c) {
            pos_ = p;
            if (!Refill()) break;
            continue;
        }
        if (EndsName(c)) break;
        ++p;
    }
    pos_ = p;
    nameEnd_ = p;
}

// The unit at the position after loading more text; 0 at the end of the text.
wchar_t NodeScanner::Refill() {
    while (source_ && source_->More(tokenStart_)) {
        text_ = source_->Text();
        if (text_[pos_]) return text_[pos_];
    }
    return 0;
}

int NodeScanner::ScanText() {
    const wchar_t* t = text_;
    size_t p = pos_;
    for (;; ++p) {  // a whitespace run
        wchar_t c = t[p];
        if (IsMarkupSpace(c)) continue;
        if (c == 0) {
            pos_ = p;
            if (!Refill()) return kNodeWhitespace;
            t = text_;
            --p;
            continue;
        }
        if (c == L'<') {
            pos_ = p;
            return kNodeWhitespace;
        }
        break;
    }
    for (;; ++p) {  // anything else makes it text
        wchar_t c = t[p];
        if (c == L'<') break;
        if (c == 0) {
            pos_ = p;
            if (!Refill()) break;
            t = text_;
            --p;
            continue;
        }
        if (c == L'>') {
            ++p;
            break;
        }
    }
    pos_ = p;
    return kNodeText;
}

int NodeScanner::ScanMarkup(NodeToken& token) {
    ++pos_;
    wchar_t c = Peek();
    switch (c) {
    case 0:
        return Unterminated(token, L"tag");
    case L'!':
        ++pos_;
        c = Peek();
        if (c == L'-') {
            ++pos_;
            c = Peek();
            if (c != L'-') return c ? SyntaxError(token, L"comment_tag_syntax") : Unterminated(token, L"tag");
            ++pos_;
            return ScanTo(L'-', 2, pos_) ? kNodeComment : Unterminated(token, L"comment");
        }
        if (c == L'[') {
            ++pos_;
            c = Peek();
            if (c != L'C') return c ? SyntaxError(token, L"cdata_section_syntax") : Unterminated(token, L"tag");
            ++pos_;
            return ScanTo(L']', 2, pos_) ? kNodeCData : Unterminated(token, L"cdata_section");
        }
        if (c == L'D') {
            ++pos_;
            return ScanDocType(token);
        }
        return c ? SyntaxError(token, L"exclamation_tag_syntax") : Unterminated(token, L"tag");
    case L'/':
        ++pos_;
        ScanName();
        for (; (c = Peek()) != L'>'; ++pos_)
            if (!c) return Unterminated(token, L"end_tag");
        ++pos_;
        return kNodeEndTag;
    case L'?':
        ++pos_;
        ScanName();
        return ScanTo(L'?', 1, tokenStart_ + 2) ? kNodeProcessing : Unterminated(token, L"processing_instruction");
    default:
        if (!IsNameStart(c)) return SyntaxError(token, L"first_tag_syntax");
        ScanName();
        if (text_[pos_] == L'>') {  // no attributes; the name's last unit is no '/'
            ++pos_;
            return kNodeStartTag;
        }
        return ScanStartTag(token);
    }
}

int NodeScanner::ScanStartTag(NodeToken& token) {
    ValueTracker values;
    for (;;) {
        wchar_t c = Peek();
        if (!c) return Unterminated(token, L"start_tag");
        ++pos_;
        if (values.Quoted(c)) continue;
        if (c == L'>') {
            // "/>" ends an empty element, unless the '/' belongs to an unquoted value.
            if (text_[pos_ - 2] == L'/' && (!values.unquoted || IsSpaceOrQuote(text_[pos_ - 3])))
                token.flags |= kTokenEmptyElement;
            return kNodeStartTag;
        }
        values.Take(c);
    }
}

int NodeScanner::ScanDocType(NodeToken& token) {
    for (;;) {
        wchar_t c = Peek();
        if (!c) return Unterminated(token, L"document_type");
        ++pos_;
        if (c == L'>') return kNodeDocType;
        if (c != L'<') continue;
        c = Peek();
        if (c == L'!') {
            ++pos_;
            c = Peek();
            if (c == L'-') {
                ++pos_;
                c = Peek();
                if (c != L'-') return c ? SyntaxError(token, L"comment_tag_syntax") : Unterminated(token, L"document_type");
                ++pos_;
                if (!ScanTo(L'-', 2, pos_)) return Unterminated(token, L"document_type");
            } else if (c == L'A' || c == L'E' || c == L'N') {
                ++pos_;
                if (!ScanDeclaration()) return Unterminated(token, L"document_type");
            } else {
                return c ? SyntaxError(token, L"doctype_tag_syntax") : Unterminated(token, L"document_type");
            }
        } else if (c == L'?') {
            ++pos_;
            if (!ScanTo(L'?', 1, pos_)) return Unterminated(token, L"document_type");
        } else {
            return c ? SyntaxError(token, L"doctype_tag_syntax") : Unterminated(token, L"document_type");
        }
    }
}

bool NodeScanner::ScanTo(wchar_t unit, size_t count, size_t contentStart) {
    for (;;) {
        wchar_t c = Peek();
        if (!c) return false;
        ++pos_;
        // pos_ - 1 is the '>'; the closing units before it must lie inside the construct.
        if (c == L'>' && pos_ - 1 >= contentStart + count && text_[pos_ - 2] == unit &&
            (count < 2 || text_[pos_ - 3] == unit))
            return true;
    }
}

bool NodeScanner::ScanDeclaration() {
    wchar_t quote = 0;
    for (;;) {
        wchar_t c = Peek();
        if (!c) return false;
        ++pos_;
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == L'"' || c == L'\'') {
            quote = c;
        } else if (c == L'>') {
            return true;
        }
    }
}

int NodeScanner::SyntaxError(NodeToken& token, const wchar_t* name) {
    if (WantErrors()) AddResult(token.errors, name, nullptr, 0, int(tokenStart_));
    // Recovery: up to the next '>' (inclusive) or '<' (exclusive).
    ValueTracker values;
    for (;;) {
        wchar_t c = Peek();
        if (!c || c == L'<') return kNodeError;
        ++pos_;
        if (values.Quoted(c)) continue;
        if (c == L'>') return kNodeError;
        values.Take(c);
    }
}

int NodeScanner::Unterminated(NodeToken& token, const wchar_t* type) {
    if (WantErrors()) AddResult(token.errors, L"unterminated_tag_syntax", type, kResultType, int(tokenStart_));
    return kNodeError;
}

}  // namespace RYL
