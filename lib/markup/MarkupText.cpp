#include "markup/MarkupText.h"

#include <cwchar>

namespace RYL {
namespace {

struct Entity {
    const wchar_t* name;
    uint32_t code;
};

// HTML 4.01 (Latin-1, symbols and Greek, special characters) and XML's "apos".
const Entity kEntities[] = {
    {L"nbsp", 160}, {L"iexcl", 161}, {L"cent", 162}, {L"pound", 163}, {L"curren", 164},
    {L"yen", 165}, {L"brvbar", 166}, {L"sect", 167}, {L"uml", 168}, {L"copy", 169},
    {L"ordf", 170}, {L"laquo", 171}, {L"not", 172}, {L"shy", 173}, {L"reg", 174},
    {L"macr", 175}, {L"deg", 176}, {L"plusmn", 177}, {L"sup2", 178}, {L"sup3", 179},
    {L"acute", 180}, {L"micro", 181}, {L"para", 182}, {L"middot", 183}, {L"cedil", 184},
    {L"sup1", 185}, {L"ordm", 186}, {L"raquo", 187}, {L"frac14", 188}, {L"frac12", 189},
    {L"frac34", 190}, {L"iquest", 191}, {L"Agrave", 192}, {L"Aacute", 193}, {L"Acirc", 194},
    {L"Atilde", 195}, {L"Auml", 196}, {L"Aring", 197}, {L"AElig", 198}, {L"Ccedil", 199},
    {L"Egrave", 200}, {L"Eacute", 201}, {L"Ecirc", 202}, {L"Euml", 203}, {L"Igrave", 204},
    {L"Iacute", 205}, {L"Icirc", 206}, {L"Iuml", 207}, {L"ETH", 208}, {L"Ntilde", 209},
    {L"Ograve", 210}, {L"Oacute", 211}, {L"Ocirc", 212}, {L"Otilde", 213}, {L"Ouml", 214},
    {L"times", 215}, {L"Oslash", 216}, {L"Ugrave", 217}, {L"Uacute", 218}, {L"Ucirc", 219},
    {L"Uuml", 220}, {L"Yacute", 221}, {L"THORN", 222}, {L"szlig", 223}, {L"agrave", 224},
    {L"aacute", 225}, {L"acirc", 226}, {L"atilde", 227}, {L"auml", 228}, {L"aring", 229},
    {L"aelig", 230}, {L"ccedil", 231}, {L"egrave", 232}, {L"eacute", 233}, {L"ecirc", 234},
    {L"euml", 235}, {L"igrave", 236}, {L"iacute", 237}, {L"icirc", 238}, {L"iuml", 239},
    {L"eth", 240}, {L"ntilde", 241}, {L"ograve", 242}, {L"oacute", 243}, {L"ocirc", 244},
    {L"otilde", 245}, {L"ouml", 246}, {L"divide", 247}, {L"oslash", 248}, {L"ugrave", 249},
    {L"uacute", 250}, {L"ucirc", 251}, {L"uuml", 252}, {L"yacute", 253}, {L"thorn", 254},
    {L"yuml", 255},
    {L"fnof", 402},
    {L"Alpha", 913}, {L"Beta", 914}, {L"Gamma", 915}, {L"Delta", 916}, {L"Epsilon", 917},
    {L"Zeta", 918}, {L"Eta", 919}, {L"Theta", 920}, {L"Iota", 921}, {L"Kappa", 922},
    {L"Lambda", 923}, {L"Mu", 924}, {L"Nu", 925}, {L"Xi", 926}, {L"Omicron", 927},
    {L"Pi", 928}, {L"Rho", 929}, {L"Sigma", 931}, {L"Tau", 932}, {L"Upsilon", 933},
    {L"Phi", 934}, {L"Chi", 935}, {L"Psi", 936}, {L"Omega", 937},
    {L"alpha", 945}, {L"beta", 946}, {L"gamma", 947}, {L"delta", 948}, {L"epsilon", 949},
    {L"zeta", 950}, {L"eta", 951}, {L"theta", 952}, {L"iota", 953}, {L"kappa", 954},
    {L"lambda", 955}, {L"mu", 956}, {L"nu", 957}, {L"xi", 958}, {L"omicron", 959},
    {L"pi", 960}, {L"rho", 961}, {L"sigmaf", 962}, {L"sigma", 963}, {L"tau", 964},
    {L"upsilon", 965}, {L"phi", 966}, {L"chi", 967}, {L"psi", 968}, {L"omega", 969},
    {L"thetasym", 977}, {L"upsih", 978}, {L"piv", 982},
    {L"bull", 8226}, {L"hellip", 8230}, {L"prime", 8242}, {L"Prime", 8243}, {L"oline", 8254},
    {L"frasl", 8260},
    {L"weierp", 8472}, {L"image", 8465}, {L"real", 8476}, {L"trade", 8482}, {L"alefsym", 8501},
    {L"larr", 8592}, {L"uarr", 8593}, {L"rarr", 8594}, {L"darr", 8595}, {L"harr", 8596},
    {L"crarr", 8629}, {L"lArr", 8656}, {L"uArr", 8657}, {L"rArr", 8658}, {L"dArr", 8659},
    {L"hArr", 8660},
    {L"forall", 8704}, {L"part", 8706}, {L"exist", 8707}, {L"empty", 8709}, {L"nabla", 8711},
    {L"isin", 8712}, {L"notin", 8713}, {L"ni", 8715}, {L"prod", 8719}, {L"sum", 8721},
    {L"minus", 8722}, {L"lowast", 8727}, {L"radic", 8730}, {L"prop", 8733}, {L"infin", 8734},
    {L"ang", 8736}, {L"and", 8743}, {L"or", 8744}, {L"cap", 8745}, {L"cup", 8746},
    {L"int", 8747}, {L"there4", 8756}, {L"sim", 8764}, {L"cong", 8773}, {L"asymp", 8776},
    {L"ne", 8800}, {L"equiv", 8801}, {L"le", 8804}, {L"ge", 8805}, {L"sub", 8834},
    {L"sup", 8835}, {L"nsub", 8836}, {L"sube", 8838}, {L"supe", 8839}, {L"oplus", 8853},
    {L"otimes", 8855}, {L"perp", 8869}, {L"sdot", 8901},
    {L"lceil", 8968}, {L"rceil", 8969}, {L"lfloor", 8970}, {L"rfloor", 8971}, {L"lang", 9001},
    {L"rang", 9002}, {L"loz", 9674}, {L"spades", 9824}, {L"clubs", 9827}, {L"hearts", 9829},
    {L"diams", 9830},
    {L"quot", 34}, {L"amp", 38}, {L"lt", 60}, {L"gt", 62}, {L"apos", 39},
    {L"OElig", 338}, {L"oelig", 339}, {L"Scaron", 352}, {L"scaron", 353}, {L"Yuml", 376},
    {L"circ", 710}, {L"tilde", 732},
    {L"ensp", 8194}, {L"emsp", 8195}, {L"thinsp", 8201}, {L"zwnj", 8204}, {L"zwj", 8205},
    {L"lrm", 8206}, {L"rlm", 8207}, {L"ndash", 8211}, {L"mdash", 8212}, {L"lsquo", 8216},
    {L"rsquo", 8217}, {L"sbquo", 8218}, {L"ldquo", 8220}, {L"rdquo", 8221}, {L"bdquo", 8222},
    {L"dagger", 8224}, {L"Dagger", 8225}, {L"permil", 8240}, {L"lsaquo", 8249},
    {L"rsaquo", 8250}, {L"euro", 8364},
};

inline wchar_t LowerAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + 32) : c; }

// Value of a character reference name ("#65", "#x41"), 0 when it has none.
uint32_t CharacterReferenceValue(const wchar_t* name, size_t length) {
    uint32_t value = 0;
    if (length >= 2 && LowerAscii(name[1]) == L'x') {
        for (size_t i = 2; i < length; ++i) {
            wchar_t c = LowerAscii(name[i]);
            if (c >= L'0' && c <= L'9') value = value * 16 + uint32_t(c - L'0');
            else if (c >= L'a' && c <= L'f') value = value * 16 + uint32_t(c - L'a' + 10);
            else break;
        }
    } else {
        for (size_t i = 1; i < length && name[i] >= L'0' && name[i] <= L'9'; ++i)
            value = value * 10 + uint32_t(name[i] - L'0');
    }
    return value;
}

// A character reference name ("#65", "#x41") as XML reads it: 1 when it names a character XML can
// carry, 0 when it names another, -1 when XML takes it for no reference at all.
int XmlCharacterReference(const wchar_t* name, size_t length) {
    const bool hex = length >= 2 && name[1] == L'x';
    const size_t first = hex ? 2 : 1;
    if (length <= first) return -1;
    uint32_t value = 0;
    for (size_t i = first; i < length; ++i) {
        const wchar_t c = hex ? LowerAscii(name[i]) : name[i];
        uint32_t digit;
        if (c >= L'0' && c <= L'9') digit = uint32_t(c - L'0');
        else if (hex && c >= L'a' && c <= L'f') digit = uint32_t(c - L'a' + 10);
        else return -1;
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) return 0;
    }
    return IsXmlChar(value) ? 1 : 0;
}

// Trims or collapses whitespace as the mode asks, in place.
void ApplyWhitespaceMode(std::wstring& text, uint32_t mode) {
    if (!(mode & (kModeTrimWhitespace | kModeCollapseWhitespace))) return;
    std::wstring out;
    out.reserve(text.size());
    bool pendingSpace = false;
    for (wchar_t c : text) {
        if (IsMarkupSpace(c)) {
            if (out.empty()) continue;
            if (mode & kModeCollapseWhitespace) {
                pendingSpace = true;
                continue;
            }
        } else if (pendingSpace) {
            out += L' ';
            pendingSpace = false;
        }
        out += c;
    }
    size_t end = out.size();
    while (end > 0 && IsMarkupSpace(out[end - 1])) --end;
    out.resize(end);
    text.swap(out);
}

bool IsReferenceStart(wchar_t c) {
    return c == L'#' || c == L':' || c == L'_' || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
           uint32_t(c) >= 0x80;
}

bool IsReferenceUnit(wchar_t c) {
    return IsReferenceStart(c) || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
}

// Length of the reference that begins at the '&' at text[0] ("&name;"), 0 when none does.
size_t ReferenceLength(const std::wstring& text, size_t amp) {
    size_t i = amp + 1;
    if (i >= text.size() || !IsReferenceStart(text[i])) return 0;
    for (++i; i < text.size() && IsReferenceUnit(text[i]); ++i) {
    }
    return (i < text.size() && text[i] == L';') ? i + 1 - amp : 0;
}

}  // namespace

EntityTable::EntityTable() {
    for (const Entity& e : kEntities) {
        size_t length = wcslen(e.name);
        std::wstring& bucket = buckets_[HashTextModulo(e.name, length, kBuckets)];
        wchar_t head[6];
        swprintf(head, 6, L"%zu%04u", length, unsigned(e.code));
        bucket += head;
        bucket += e.name;
        ++size_;
    }
}

const EntityTable& EntityTable::Get() {
    static const EntityTable table;
    return table;
}

uint32_t EntityTable::Find(const wchar_t* name, size_t length) const {
    if (length == 0 || length > 9) return 0;
    const std::wstring& bucket = buckets_[HashTextModulo(name, length, kBuckets)];
    for (size_t i = 0; i + 5 <= bucket.size();) {
        size_t entryLength = size_t(bucket[i] - L'0');
        if (entryLength == length && wmemcmp(bucket.data() + i + 5, name, length) == 0) {
            uint32_t code = 0;
            for (size_t d = 1; d <= 4; ++d) code = code * 10 + uint32_t(bucket[i + d] - L'0');
            return code;
        }
        i += 5 + entryLength;
    }
    return 0;
}

std::wstring UnescapeText(const wchar_t* text, int length, uint32_t mode) {
    size_t end = length < 0 ? wcslen(text) : size_t(length);
    std::wstring out;
    out.reserve(end);
    const EntityTable& entities = EntityTable::Get();
    for (size_t i = 0; i < end;) {
        if (text[i] != L'&') {
            // The run up to the next '&' as it stands.
            const wchar_t* amp = wmemchr(text + i, L'&', end - i);
            size_t run = (amp ? size_t(amp - text) : end) - i;
            out.append(text + i, run);
            i += run;
            continue;
        }
        // The name runs to the next ';': at most 9 units, all below 0x80.
        size_t k = i + 1;
        while (k < end && k - (i + 1) <= 9 && text[k] != L';' && uint32_t(text[k]) < 0x80) ++k;
        uint32_t value = 0;
        if (k < end && text[k] == L';' && k - (i + 1) <= 9) {
            const wchar_t* name = text + i + 1;
            size_t nameLength = k - (i + 1);
            if (nameLength > 0 && name[0] == L'#') {
                value = CharacterReferenceValue(name, nameLength);
                if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) value = 0;
            } else {
                value = entities.Find(name, nameLength);
                if (!value) {
                    wchar_t lower[9];
                    for (size_t n = 0; n < nameLength; ++n) lower[n] = LowerAscii(name[n]);
                    value = entities.Find(lower, nameLength);
                }
            }
        }
        if (!value) {
            out += L'&';
            ++i;
            continue;
        }
        out += wchar_t(value);
        i = k + 1;
    }
    ApplyWhitespaceMode(out, mode);
    return out;
}

std::wstring EscapeText(const std::wstring& text, int flags) {
    std::wstring out;
    out.reserve(text.size() + text.size() / 10 + 7);
    bool attribute = (flags & kEscapeAttribute) != 0;
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        switch (c) {
        case L'&':
            if (flags & kEscapeKeepReferences) {
                if (size_t n = ReferenceLength(text, i)) {
                    const int character = text[i + 1] == L'#' ? XmlCharacterReference(text.data() + i + 1, n - 2) : 1;
                    if (character >= 0) {
                        // A reference to a character that XML cannot carry counts as that character.
                        if (character > 0) out.append(text, i, n);
                        else out += kXmlReplacementChar;
                        i += n - 1;
                        break;
                    }
                }
            }
            out += L"&amp;";
            break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += attribute ? L"&quot;" : L"\""; break;
        case L'\'': out += attribute ? L"&apos;" : L"'"; break;
        case L'\r': out += L"&#13;"; break;
        case L'\t': out += attribute ? L"&#9;" : L"\t"; break;
        case L'\n': out += attribute ? L"&#10;" : L"\n"; break;
        default: out += IsXmlChar(uint32_t(c)) ? c : kXmlReplacementChar;
        }
    }
    return out;
}

std::wstring EncodeCData(const std::wstring& text) {
    std::wstring out = L"<![CDATA[";
    out.reserve(text.size() + 12);
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c == L']' && text.compare(i, 3, L"]]>") == 0) {
            out += L"]]]]><![CDATA[>";
            i += 2;
        } else if (c == L'\r') {
            out += L"]]>&#13;<![CDATA[";
        } else {
            out += IsXmlChar(uint32_t(c)) ? c : kXmlReplacementChar;
        }
    }
    out += L"]]>";
    return out;
}

int CompareNames(const wchar_t* a, const wchar_t* b, size_t count, bool fold) {
    for (size_t i = 0; i < count; ++i) {
        wchar_t ca = a[i], cb = b[i];
        if (fold) {
            if (ca == cb && uint32_t(ca) >= 0x80) {
                fold = false;
            } else {
                ca = LowerAscii(ca);
                cb = LowerAscii(cb);
            }
        }
        if (ca != cb) return int(ca) - int(cb);
        if (ca == 0) return 0;
    }
    return 0;
}

void ReplaceText(std::wstring& text, size_t offset, size_t count, const std::wstring& replacement) {
    size_t newLength = text.size() - count + replacement.size();
    if (newLength > text.capacity()) text.reserve(newLength + newLength / 2 + 128);
    text.replace(offset, count, replacement);
}

uint32_t HashTextModulo(const wchar_t* text, size_t length, uint32_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum += uint32_t(text[i]);
    return sum % n;
}

uint32_t HashTextModulo(const std::wstring& text, uint32_t n) {
    return HashTextModulo(text.data(), text.size(), n);
}

}  // namespace RYL
