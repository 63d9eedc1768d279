// Editing operations of MarkupDocument; the reader uses them to write its result texts.
#include <cwchar>

#include "markup/MarkupDocument.h"
#include "markup/MarkupFile.h"
#include "markup/TagAttributes.h"

namespace RYL {

void AddResult(std::wstring& result, const wchar_t* name, const wchar_t* text, int flags, int number, int number2) {
    if (result.size() >= 1000) return;
    MarkupDocument doc;
    doc.SetDocument(result);
    if (flags & kResultFind) doc.FindElement(name);
    else doc.AddElem(name, L"", kAddNoLineBreaks);
    uint32_t pos = doc.GetCurrentPosition();
    if (text) {
        const wchar_t* attribute = (flags & kResultType) ? L"type"
                                 : (flags & kResultEncoding) ? L"encoding"
                                 : (flags & kResultMsg) ? L"msg"
                                 : L"tagname";
        doc.SetAttrib(pos, attribute, text, 0);
    }
    if (flags & (kResultN | kResultCount | kResultLength)) {
        const wchar_t* attribute = (flags & kResultN) ? L"n" : (flags & kResultCount) ? L"count" : L"length";
        doc.SetAttrib(pos, attribute, number, 0);
    } else if (number != -1) {
        doc.SetAttrib(pos, L"offset", number, 0);
    }
    if (number2 != -1) doc.SetAttrib(pos, L"offset2", number2, 0);
    result = doc.GetDocument();
}

bool MarkupDocument::AddElem(const wchar_t* name, const wchar_t* value, int flags) {
    if ((mode_ & kModeReadFile) || !name || !*name) return false;
    uint32_t parent = parentPos_;
    uint32_t previous = currentPos_;
    if (flags & kAddChild) {
        if (!currentPos_ || (mode_ & kModeWriteFile)) return false;
        parent = currentPos_;
        previous = childPos_;
    }
    std::wstring valueText = value ? value : L"";
    if ((flags & kAddNoEndTag) && !valueText.empty()) return false;

    std::wstring node = L"<";
    node += name;
    uint32_t startTagLength;
    uint32_t endTagLength = 0;
    if (valueText.empty()) {
        node += (flags & kAddNoEndTag) ? L">" : (flags & kAddSpaceBeforeSlash) ? L" />" : L"/>";
        startTagLength = uint32_t(node.size());
    } else {
        node += L'>';
        startTagLength = uint32_t(node.size());
        node += (flags & kAddCData) ? EncodeCData(valueText) : EscapeText(valueText, flags);
        node += L"</";
        node += name;
        node += L'>';
        endTagLength = uint32_t(wcslen(name) + 3);
    }

    if ((mode_ & kModeWriteFile) && !WriteBeforeGrowth(parent, previous, flags, node.size() + 4)) return false;
    uint32_t pos = NewPosition();
    tree_[pos] = ElementRecord();
    if (parent && tree_[parent].length == tree_[parent].startTagLength) OpenEmptyParent(parent);
    size_t before = text_.size();
    uint32_t start = uint32_t(InsertNodeText(parent, previous, node, flags));
    ElementRecord& r = tree_[pos];
    r.start = start;
    r.length = uint32_t(node.size());
    r.startTagLength = startTagLength;
    r.endTagLength = endTagLength;
    if (flags & kAddNoEndTag) r.flags |= kElemNoEndTag;
    LinkElement(parent, previous, pos, (flags & kAddBefore) != 0);
    // What InsertNodeText added besides the node, the line breaks included.
    ShiftFollowing(pos, uint32_t(text_.size() - before));

    if (flags & kAddChild) SetPosition(parentPos_, currentPos_, pos);
    else SetPosition(parent, pos, 0);
    return true;
}

// Rewrites an element written without an end tag ("<p/>", or an unended "<p>") as "<p></p>".
void MarkupDocument::OpenEmptyParent(uint32_t parent) {
    ElementRecord& p = tree_[parent];
    size_t nameEnd = p.start + 1 + TagNameLength(parent);
    size_t tagEnd = p.start + p.startTagLength;
    size_t cut = tagEnd - 1;
    if (text_[cut - 1] == L'/') {
        --cut;
        while (cut > nameEnd && IsMarkupSpace(text_[cut - 1])) --cut;
    }
    std::wstring name = text_.substr(p.start + 1, nameEnd - p.start - 1);
    std::wstring replacement = L"></" + name + L">";
    ReplaceText(text_, cut, tagEnd - cut, replacement);
    uint32_t oldLength = p.length;
    p.startTagLength = uint32_t(cut + 1 - p.start);
    p.endTagLength = uint32_t(name.size() + 3);
    p.length = p.startTagLength + p.endTagLength;
    p.flags &= ~kElemNoEndTag;
    ShiftFollowing(parent, p.length - oldLength);
}

// Where a new element goes: after the previous sibling or before it, else at the end or the start
// of the parent's content.
size_t MarkupDocument::InsertionPoint(uint32_t parent, uint32_t previous, int flags) const {
    bool before = (flags & kAddBefore) != 0;
    if (previous) {
        const ElementRecord& p = tree_[previous];
        return before ? p.start : p.start + p.length;
    }
    if (parent) {
        const ElementRecord& p = tree_[parent];
        return before ? p.start + p.startTagLength : p.start + p.length - p.endTagLength;
    }
    return before ? 0 : text_.size();
}

// Places the node text and returns where the node starts.
size_t MarkupDocument::InsertNodeText(uint32_t parent, uint32_t previous, const std::wstring& node, int flags) {
    size_t at = InsertionPoint(parent, previous, flags);
    // Line breaks around the node, unless whitespace already leads on to markup.
    bool lines = !(flags & kAddNoLineBreaks);
    // In write-file mode the unit before may already be written out.
    wchar_t before = at > 0 ? text_[at - 1] : file_ && file_->lastWrittenUnit ? file_->lastWrittenUnit : L'\n';
    std::wstring inserted = lines && before != L'\n' ? L"\r\n" : L"";
    size_t start = at + inserted.size();
    inserted += node;
    if (lines) {
        size_t next = at;
        while (next < text_.size() && IsMarkupSpace(text_[next])) ++next;
        if (next == at || (next < text_.size() && text_[next] != L'<')) inserted += L"\r\n";
    }
    ReplaceText(text_, at, 0, inserted);
    return start;
}

void MarkupDocument::LinkElement(uint32_t parent, uint32_t previous, uint32_t pos, bool before) {
    ElementRecord& r = tree_[pos];
    r.parent = parent;
    r.depth = parent ? tree_[parent].depth + 1 : 0;
    uint32_t first = tree_[parent].firstChild;
    if (previous && !before) {
        ElementRecord& p = tree_[previous];
        r.previousSibling = previous;
        r.nextSibling = p.nextSibling;
        if (p.nextSibling) tree_[p.nextSibling].previousSibling = pos;
        else tree_[first].previousSibling = pos;
        p.nextSibling = pos;
        return;
    }
    if (previous && previous != first) {
        ElementRecord& p = tree_[previous];
        r.previousSibling = p.previousSibling;
        r.nextSibling = previous;
        tree_[p.previousSibling].nextSibling = pos;
        p.previousSibling = pos;
        return;
    }
    if (!previous && !before && first) {
        uint32_t last = tree_[first].previousSibling;
        tree_[last].nextSibling = pos;
        r.previousSibling = last;
        tree_[first].previousSibling = pos;
        return;
    }
    // New first child.
    if (first) {
        r.nextSibling = first;
        r.previousSibling = tree_[first].previousSibling;
        tree_[first].previousSibling = pos;
        tree_[first].flags &= ~kElemFirstChild;
    } else {
        r.previousSibling = pos;
    }
    r.flags |= kElemFirstChild;
    tree_[parent].firstChild = pos;
}

uint32_t MarkupDocument::NextInDocumentOrder(uint32_t pos, bool intoChildren) const {
    if (intoChildren && tree_[pos].firstChild) return tree_[pos].firstChild;
    for (; pos; pos = tree_[pos].parent)
        if (tree_[pos].nextSibling) return tree_[pos].nextSibling;
    return 0;
}

void MarkupDocument::ShiftFollowing(uint32_t pos, uint32_t delta) {
    for (uint32_t a = tree_[pos].parent;; a = tree_[a].parent) {
        tree_[a].length += delta;
        if (!a) break;
    }
    for (uint32_t n = NextInDocumentOrder(pos, true); n; n = NextInDocumentOrder(n, true)) tree_[n].start += delta;
}

bool MarkupDocument::SetAttrib(uint32_t pos, const wchar_t* name, const wchar_t* value, int flags) {
    return SetAttribText(pos, name, value ? value : L"", flags);
}

bool MarkupDocument::SetAttrib(uint32_t pos, const wchar_t* name, int value, int flags) {
    return SetAttribText(pos, name, std::to_wstring(value), flags);
}

bool MarkupDocument::SetAttribText(uint32_t pos, const wchar_t* name, const std::wstring& value, int flags) {
    if ((mode_ & kModeReadFile) || pos == 0 || nodeKind_ != 1 || !IsPosition(pos) || !name || !*name)
        return false;
    const std::wstring quoted = L"\"" + EscapeText(value, flags | kEscapeAttribute) + L"\"";
    const size_t nameLength = wcslen(name);
    if (mode_ & kModeWriteFile) {
        if (tree_[pos].flags & kElemStartWritten) return false;
        if (!WriteBeforeAttribute(pos, quoted.size() + nameLength + 2)) return false;
    }
    const ElementRecord r = tree_[pos];
    const size_t tagEnd = r.start + r.startTagLength - 1;  // the '>'
    size_t i = r.start + 1 + TagNameLength(pos);
    size_t at = i;  // end of the last attribute
    size_t count = 0;
    std::wstring replacement = L" " + std::wstring(name) + L"=" + quoted;
    for (TagAttribute a; NextAttribute(text_.c_str(), i, tagEnd, a);) {
        if (a.nameEnd - a.nameStart == nameLength && wmemcmp(text_.data() + a.nameStart, name, nameLength) == 0) {
            at = a.valueStart;
            count = a.valueEnd - a.valueStart;
            replacement = a.hasValue ? quoted : L"=" + quoted;
            break;
        }
        at = i;
    }
    ReplaceText(text_, at, count, replacement);
    uint32_t delta = uint32_t(replacement.size() - count);
    tree_[pos].startTagLength += delta;
    tree_[pos].length += delta;
    ShiftFollowing(pos, delta);
    return true;
}

}  // namespace RYL
