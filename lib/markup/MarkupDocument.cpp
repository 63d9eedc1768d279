#include "markup/MarkupDocument.h"

#include <algorithm>
#include <cwchar>

#include "Memory.h"

#include "markup/ElementPath.h"
#include "markup/ElementStack.h"
#include "markup/MarkupFile.h"
#include "markup/NodeScanner.h"

namespace RYL {
namespace {

// Units that end a tag name read from a start tag.
bool EndsTagName(wchar_t c) {
    switch (c) {
    case 0: case L' ': case L'\t': case L'\n': case L'\r': case L'!': case L'"': case L'\'':
    case L'/': case L';': case L'<': case L'=': case L'>': case L'?': case L'\\':
        return true;
    default:
        return false;
    }
}

}  // namespace

MarkupDocument::MarkupDocument() { SetDocument(static_cast<const wchar_t*>(nullptr)); }

MarkupDocument::MarkupDocument(const wchar_t* text) { SetDocument(text); }

MarkupDocument::~MarkupDocument() {
    if (mode_ & (kModeReadFile | kModeWriteFile)) CloseFile();
}

void MarkupDocument::SetModeWord(uint32_t mode) {
    const uint32_t fileBits = kModeReadFile | kModeWriteFile;
    mode_ = (mode_ & fileBits) | (mode & ~fileBits);
}

bool MarkupDocument::SetDocument(const std::wstring& text) {
    if (mode_ & (kModeReadFile | kModeWriteFile)) return false;
    if (text.size() > text_.capacity()) {
        std::wstring().swap(text_);
        text_.reserve(text.size());
        plat::AdviseLargeBlock(text_.data(), text_.capacity() * sizeof(wchar_t));
    }
    text_ = text;
    result_.clear();
    return Parse();
}

bool MarkupDocument::SetDocument(std::wstring&& text) {
    if (mode_ & (kModeReadFile | kModeWriteFile)) return false;
    text_ = std::move(text);
    result_.clear();
    return Parse();
}

bool MarkupDocument::SetDocument(const wchar_t* text) {
    if (mode_ & (kModeReadFile | kModeWriteFile)) return false;
    if (!text) {
        text_.clear();
        tree_.Clear();
    } else {
        text_ = text;
    }
    result_.clear();
    return Parse();
}

bool MarkupDocument::Parse() {
    SetPosition(0, 0, 0);
    savedPositions_.clear();
    nextFree_ = 1;
    // Read-file mode sizes the index by the file; its text arrives while parsing.
    size_t expected = (mode_ & kModeReadFile) ? size_t(file_->fileSize / file_->unitSize) : text_.size();
    tree_.Reserve(expected / 3 + 8);  // "<a>" at least per element
    EnsureCapacity(uint32_t(expected / 64 + 8));
    freeList_ = 0;
    tree_[0] = ElementRecord();
    if (!text_.empty()) {
        NodeScanner scanner(text_.c_str(), 0, mode_, &result_);
        std::unique_ptr<TextSource> source = (mode_ & kModeReadFile) ? ReadSource() : nullptr;
        scanner.SetSource(source.get());
        uint32_t first = ParseElements(scanner, 0);
        tree_[0].length = uint32_t(text_.size());
        if (!first) {
            AddResult(result_, L"no_root_element");
        } else {
            tree_[0].firstChild = first;
            if (tree_[first].nextSibling) AddResult(result_, L"root_has_sibling");
        }
    }
    SetPosition(0, 0, 0);
    return IsWellFormed();
}

void MarkupDocument::EnsureCapacity(uint32_t n) {
    uint32_t next = uint32_t(nextFree_);
    if (n == 0) n = next + next / 2;
    if (n <= next) n = next + 1;
    if (int64_t(n) > tree_.Capacity()) tree_.Grow(int(n));
}

uint32_t MarkupDocument::NewPositionSlowly() {
    if (freeList_) {
        uint32_t pos = uint32_t(freeList_);
        freeList_ = int32_t(tree_[pos].nextSibling);
        tree_[pos] = ElementRecord();
        return pos;
    }
    if (nextFree_ >= tree_.Capacity()) EnsureCapacity(0);
    return uint32_t(nextFree_++);
}

uint32_t MarkupDocument::ParseElements(NodeScanner& scanner, uint32_t parseParent) {
    const bool fold = (mode_ & kModeFoldNames) != 0;
    ElementStack stack(fold, text_.size() / 3);  // "<a>" at least per level
    stack[0].pos = parseParent;
    const uint32_t baseDepth = tree_[parseParent].depth;
    bool lifted = false;  // unended elements gave up children: depths below are to be set again
    uint32_t open = parseParent;
    const uint32_t firstPos = uint32_t(nextFree_);  // positions are handed out in order: no free list
    NodeToken token;
    for (;;) {
        scanner.ParseNode(token);
        const wchar_t* text = scanner.Text();  // moves when read-file mode loads more
        switch (token.kind) {
        case kNodeEnd:
            lifted |= CloseUnended(stack, 0, uint32_t(text_.size()), parseParent);
            if (lifted) SetDepths(firstPos);
            return uint32_t(nextFree_) > firstPos ? firstPos : 0;  // the first element, at the top level
        case kNodeStartTag: {
            uint32_t pos = NewPosition();
            ElementRecord& r = tree_[pos];
            r = ElementRecord();  // pages are not cleared
            r.parent = open;
            r.depth = baseDepth + uint32_t(stack.Top());
            r.start = uint32_t(token.start);
            r.startTagLength = uint32_t(token.length);
            r.length = r.startTagLength;
            ElementRecord& parent = tree_[open];
            if (!parent.firstChild) {
                parent.firstChild = pos;
                r.flags |= kElemFirstChild;
                r.previousSibling = pos;
            } else {
                ElementRecord& firstChild = tree_[parent.firstChild];
                uint32_t last = firstChild.previousSibling;
                tree_[last].nextSibling = pos;
                r.previousSibling = last;
                firstChild.previousSibling = pos;
            }
            if (!(token.flags & kTokenEmptyElement)) {
                stack.Push(scanner.NameStart(), scanner.NameEnd() - scanner.NameStart(), pos);
                open = pos;
            }
            break;
        }
        case kNodeEndTag: {
            const wchar_t* name = text + scanner.NameStart();
            size_t nameLength = scanner.NameEnd() - scanner.NameStart();
            auto matches = [&](int level) {
                const ElementStack::Entry& e = stack[level];
                if (e.nameLength != nameLength) return false;  // an open name holds a unit at least
                const wchar_t* openName = text + e.nameStart;
                if (fold) return CompareNames(openName, name, nameLength, true) == 0;
                if (openName[0] != name[0]) return false;
                for (size_t i = 1; i < nameLength; ++i)
                    if (openName[i] != name[i]) return false;
                return true;
            };
            // The nearest open element of that name: the innermost few are compared directly,
            // deeper ones only when the name is open at all. The levels passed over are closed
            // as unended, so the search stays linear over the whole text.
            int level = stack.KnownAbsent(text, scanner.NameStart(), nameLength) ? 0 : stack.Top();
            const int nearest = level > 4 ? level - 4 : 0;
            while (level > nearest && !matches(level)) --level;
            if (level == nearest && level > 0 && !stack.MayBeOpen(text, scanner.NameStart(), nameLength)) level = 0;
            while (level > 0 && !matches(level)) --level;
            if (level == 0) {
                tree_[parseParent].flags |= kElemNotWellFormed;
                tree_[open].flags |= kElemContentError;
                if (result_.size() < 1000)
                    AddResult(result_, L"lone_end_tag", std::wstring(name, nameLength).c_str(), 0, int(token.start));
                break;
            }
            lifted |= CloseUnended(stack, level, uint32_t(token.start + 1), parseParent);
            ElementRecord& r = tree_[stack[level].pos];
            r.length = uint32_t(token.start + token.length) - r.start;
            r.endTagLength = uint32_t(token.length);
            stack.PopTo(level - 1);
            open = stack[level - 1].pos;
            break;
        }
        case kNodeError:
            tree_[parseParent].flags |= kElemNotWellFormed;
            tree_[open].flags |= kElemContentError;
            if (result_.size() < 1000) result_ += token.errors;
            break;
        default:
            break;
        }
    }
}

// The open elements above the level end without end tags. They give up their children, which
// follow them as siblings in document order: each unended element is the last child of the one
// below it, so the chain flattens into one run after the first of them and each element moves
// once. Their depths are left to SetDepths. True when any element moved.
bool MarkupDocument::CloseUnended(ElementStack& stack, int level, uint32_t offset2, uint32_t parseParent) {
    const int top = stack.Top();
    if (top <= level) return false;
    tree_[parseParent].flags |= kElemNotWellFormed;
    const uint32_t target = stack[level].pos;
    const uint32_t firstUnended = stack[level + 1].pos;
    uint32_t tail = 0;  // the last child lifted
    for (int j = top; j > level; --j) {
        const uint32_t e = stack[j].pos;
        ElementRecord& r = tree_[e];
        r.flags |= kElemNoEndTag;
        r.endTagLength = 0;
        r.length = r.startTagLength;
        if (r.flags & kElemContentError) {
            r.flags &= ~kElemContentError;
            tree_[stack[j - 1].pos].flags |= kElemContentError;
        }
        if (result_.size() < 1000) {
            const ElementStack::Entry& entry = stack[j];
            std::wstring name(text_.c_str() + entry.nameStart, entry.nameLength);
            AddResult(result_, L"unended_start_tag", name.c_str(), 0, int(r.start), int(offset2));
        }
        if (const uint32_t firstChild = r.firstChild) {
            ElementRecord& child = tree_[firstChild];
            if (!tail) tail = child.previousSibling;
            r.firstChild = 0;
            r.nextSibling = firstChild;
            child.previousSibling = e;
            child.flags &= ~kElemFirstChild;
        }
    }
    stack.PopTo(level);
    if (!tail) return false;
    tree_[tree_[target].firstChild].previousSibling = tail;
    for (uint32_t c = tree_[firstUnended].nextSibling; c; c = tree_[c].nextSibling) tree_[c].parent = target;
    return true;
}

// Depths of the positions from first on from their parents, in one pass over the index. A parse
// hands positions out in the order of the start tags (no free list), and children are lifted only
// to ancestors, so every parent lies before its children.
void MarkupDocument::SetDepths(uint32_t first) {
    const uint32_t end = uint32_t(nextFree_);
    for (uint32_t d = first; d < end;) {
        ElementRecord* r = &tree_[d];  // the records of one page lie together
        const uint32_t pageEnd = std::min(end, (d | uint32_t(ElementTree::kPageRecords - 1)) + 1);
        for (; d < pageEnd; ++d, ++r) r->depth = r->parent ? tree_[r->parent].depth + 1 : 0;
    }
}

uint32_t MarkupDocument::NextInSubtree(uint32_t pos, uint32_t root) const {
    if (tree_[pos].firstChild) return tree_[pos].firstChild;
    for (; pos != root; pos = tree_[pos].parent)
        if (tree_[pos].nextSibling) return tree_[pos].nextSibling;
    return 0;
}

bool MarkupDocument::IsWellFormed() const {
    if (mode_ & kModeWriteFile) return true;
    if (tree_.Capacity() == 0) return false;
    const ElementRecord& root = tree_[0];
    if (root.flags & kElemNotWellFormed) return false;
    if (mode_ & kModeReadFile) return true;
    return root.firstChild && !tree_[root.firstChild].nextSibling;
}

size_t MarkupDocument::TagNameLength(uint32_t pos) const {
    const wchar_t* name = text_.c_str() + tree_[pos].start + 1;
    size_t n = 0;
    while (!EndsTagName(name[n])) ++n;
    return n;
}

bool MarkupDocument::FindElement(const wchar_t* name) {
    if ((mode_ & kModeWriteFile) || tree_.Capacity() == 0) return false;
    ElementPath path = ElementPath::Parse(name);
    if (path.kind != ElementPath::kEmpty && path.kind != ElementPath::kRelative) return false;
    const wchar_t* step = name + path.nameOffset;
    bool fold = (mode_ & kModeFoldNames) != 0;
    uint32_t pos = currentPos_ ? tree_[currentPos_].nextSibling : tree_[parentPos_].firstChild;
    for (; pos; pos = tree_[pos].nextSibling) {
        if (path.kind == ElementPath::kEmpty) break;
        if (TagNameLength(pos) == path.nameLength &&
            CompareNames(text_.c_str() + tree_[pos].start + 1, step, path.nameLength, fold) == 0)
            break;
    }
    if (!pos) return false;
    SetPosition(tree_[pos].parent, pos, 0);
    return true;
}

bool MarkupDocument::StepInto() {
    if (!currentPos_ || nodeKind_ != 1) return false;
    SetPosition(currentPos_, childPos_, 0);
    return true;
}

bool MarkupDocument::StepOut() {
    if (!parentPos_) return false;
    SetPosition(tree_[parentPos_].parent, parentPos_, currentPos_);
    return true;
}

bool MarkupDocument::SetPosition(uint32_t parent, uint32_t current, uint32_t child) {
    auto valid = [this](uint32_t pos) { return pos == 0 || IsPosition(pos); };
    if (!valid(parent) || !valid(current) || !valid(child)) return false;
    parentPos_ = parent;
    currentPos_ = current;
    childPos_ = child;
    nodeOffset_ = 0;
    nodeLength_ = 0;
    nodeKind_ = current ? 1 : 0;
    return current != 0;
}

bool MarkupDocument::GetRecord(uint32_t pos, ElementRecord& record) const {
    if (!IsPosition(pos)) return false;
    record = tree_[pos];
    return true;
}

std::wstring MarkupDocument::GetText() const {
    if (!currentPos_) return std::wstring();
    return GetNodeText(currentPos_);
}

std::wstring MarkupDocument::GetNodeText(uint32_t pos) const {
    const wchar_t* text = text_.c_str();
    if (pos == currentPos_ && nodeLength_ > 0) {
        // A current node that is not an element: its text without delimiters.
        const wchar_t* node = text + nodeOffset_;
        size_t n = size_t(nodeLength_);
        auto inner = [&](size_t head, size_t tail) {
            return n >= head + tail ? std::wstring(node + head, n - head - tail) : std::wstring();
        };
        switch (nodeKind_) {
        case kNodeText: return UnescapeText(node, int(n), mode_);
        case kNodeCData: return inner(9, 3);
        case kNodeProcessing: return inner(2, 2);
        case kNodeComment: return inner(4, 3);
        case 128: return inner(2, 1);
        default: return std::wstring(node, n);
        }
    }
    if (pos == 0 || !IsPosition(pos)) return std::wstring();
    const ElementRecord& r = tree_[pos];
    if (r.length <= r.startTagLength + r.endTagLength || r.firstChild) return std::wstring();
    size_t contentStart = r.start + r.startTagLength;
    size_t contentEnd = r.start + r.length - r.endTagLength;
    if (contentEnd > text_.size()) return std::wstring();
    if (!wmemchr(text + contentStart, L'<', contentEnd - contentStart))
        return UnescapeText(text + contentStart, int(contentEnd - contentStart), mode_);
    // Text and CDATA sections; whitespace-only text, comments and the like are dropped.
    std::wstring out;
    NodeScanner scanner(text, contentStart, mode_, nullptr);
    NodeToken token;
    do {
        scanner.ParseNode(token);
        if (token.kind == kNodeEnd) break;
        if (token.kind == kNodeText) {
            out += UnescapeText(text + token.start, int(token.length), mode_);
        } else if (token.kind == kNodeCData && token.length >= 12) {
            out.append(text + token.start + 9, token.length - 12);
        }
    } while (scanner.Position() < contentEnd);
    return out;
}

}  // namespace RYL
