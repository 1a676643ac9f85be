#include "sgml.h"

#include <cstring>

namespace qn::webnet::scan {
namespace {

enum : uint8_t {
    kAlnum = 1,     // [0-9A-Za-z]
    kWhite = 2,     // bytes up to the space character
    kTextStop = 4,  // '<', '&' and line feed end a stretch of plain text
    kCommentStop = 8,
};

struct CharTable {
    uint8_t a[256] = {};
    constexpr CharTable() {
        for (int c = 0; c < 256; ++c) {
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
                a[c] |= kAlnum;
            }
            if (c <= ' ') {
                a[c] |= kWhite;
            }
        }
        a[static_cast<uint8_t>('<')] |= kTextStop;
        a[static_cast<uint8_t>('&')] |= kTextStop;
        a[static_cast<uint8_t>('\n')] |= kTextStop;
        a[static_cast<uint8_t>('-')] |= kCommentStop;
        a[static_cast<uint8_t>('>')] |= kCommentStop;
    }
};
constexpr CharTable kTable;

inline bool Is(char c, uint8_t cls) {
    return (kTable.a[static_cast<uint8_t>(c)] & cls) != 0;
}
inline char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
inline char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const std::string& str, const char* psz) {
    size_t n = std::strlen(psz);
    if (str.size() != n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (Lower(str[i]) != psz[i]) {
            return false;
        }
    }
    return true;
}

const char* const kRawEnd[] = {"", "</script", "</style"};

// Appends at most what keeps str within cchMax.
void AppendBounded(std::string& str, const char* pch, size_t cch, size_t cchMax) {
    if (str.size() < cchMax) {
        str.append(pch, std::min(cch, cchMax - str.size()));
    }
}

}  // namespace

SgmlParser::SgmlParser(SgmlSink& sink) : m_sink(sink) {
    m_name.reserve(kMaxName);
}

bool SgmlParser::TopIsLiteral() const {
    return !m_stack.empty() && DtdElements()[m_stack.back()].content == Content::kLiteral;
}

size_t SgmlParser::Feed(const char* pch, size_t cch) {
    const char* p = pch;
    const char* const end = pch + cch;
    while (p < end && !Stopped()) {
        switch (m_state) {
            case State::kText:
                p = Text(p, end);
                break;
            case State::kAfterOpen:
                m_state = State::kText;
                if (*p == '\n' && m_lastStarted >= 0 &&
                    DtdElements()[m_lastStarted].content != Content::kEmpty) {
                    ++p;
                }
                break;
            case State::kNewline:
                // A line feed just before a tag waits: it is dropped before an end tag.
                if (*p == '<') {
                    ++p;
                    if (TopIsLiteral()) {
                        Put('\n');
                        m_state = State::kLiteral;
                        m_matched = 0;
                    } else {
                        m_state = State::kNewlineTagOpen;
                    }
                } else {
                    Put('\n');
                    m_state = State::kText;
                }
                break;
            case State::kNewlineTagOpen:
                if (*p != '/') {
                    Put('\n');
                }
                m_state = State::kTagOpen;
                m_name.clear();
                m_fNameOverflow = false;
                break;
            case State::kTagOpen:
                p = TagOpen(p, end);
                break;
            case State::kTagGap:
            case State::kAttrName:
            case State::kAttrGap:
            case State::kEquals:
            case State::kValue:
                p = InTag(p, end);
                break;
            case State::kSingleQuoted:
                p = Quoted(p, end, '\'');
                break;
            case State::kDoubleQuoted:
                p = Quoted(p, end, '"');
                break;
            case State::kEndTag:
                p = EndTag(p, end);
                break;
            case State::kJunk: {
                const void* pGt = std::memchr(p, '>', static_cast<size_t>(end - p));
                if (pGt == nullptr) {
                    p = end;
                } else {
                    p = static_cast<const char*>(pGt) + 1;
                    m_state = State::kText;
                }
                break;
            }
            case State::kBang:
            case State::kBangDash:
            case State::kComment:
                p = Comment(p, end);
                break;
            case State::kEntityOpen:
            case State::kEntity:
                p = EntityRef(p, end);
                break;
            case State::kCharRef:
                p = CharRef(p, end);
                break;
            case State::kLiteral:
                p = Literal(p, end);
                break;
            case State::kRawText:
                p = RawText(p, end);
                break;
        }
    }
    return static_cast<size_t>(p - pch);
}

const char* SgmlParser::Text(const char* p, const char* end) {
    const char* start = p;
    while (p < end && !Is(*p, kTextStop)) {
        ++p;
    }
    if (p > start) {
        m_sink.Characters(start, static_cast<size_t>(p - start));
    }
    if (p == end) {
        return p;
    }
    char c = *p++;
    if (c == '<') {
        if (TopIsLiteral()) {
            m_state = State::kLiteral;
            m_matched = 0;
        } else {
            m_state = State::kTagOpen;
            m_name.clear();
            m_fNameOverflow = false;
        }
    } else if (c == '&') {
        if (TopIsLiteral()) {
            Put('&');
        } else {
            m_state = State::kEntityOpen;
            m_name.clear();
        }
    } else {
        m_state = State::kNewline;
    }
    return p;
}

const char* SgmlParser::TagOpen(const char* p, const char* end) {
    while (p < end) {
        char c = *p;
        if (Is(c, kAlnum)) {
            if (m_name.size() < kMaxName) {
                m_name.push_back(c);
            } else {
                m_fNameOverflow = true;
            }
            ++p;
            continue;
        }
        if (m_name.empty()) {
            if (c == '/') {
                m_state = State::kEndTag;
                return p + 1;
            }
            if (c == '!') {
                m_state = State::kBang;
                return p + 1;
            }
            if (c == '?') {
                m_state = State::kJunk;
                return p + 1;
            }
            // "a < b": the '<' starts no tag and is text; c is read again as text.
            Put('<');
            m_state = State::kText;
            return p;
        }
        BeginTag();
        if (c == '>') {
            EmitStart();
        } else {
            m_state = State::kTagGap;  // blank, '/' of "<BR/>", or anything else
        }
        return p + 1;
    }
    return p;
}

void SgmlParser::BeginTag() {
    m_element = m_fNameOverflow ? -1 : FindElement(m_name.data(), m_name.size());
    for (int i = 0; i < kMaxAttributes; ++i) {
        m_afPresent[i] = false;
        m_afHasValue[i] = false;
    }
    m_attribute = -1;
    m_rawKind = 0;
    if (m_element < 0) {
        if (EqualsNoCase(m_name, "script")) {
            m_rawKind = 1;
        } else if (EqualsNoCase(m_name, "style")) {
            m_rawKind = 2;
        }
    }
}

const char* SgmlParser::InTag(const char* p, const char* end) {
    while (p < end) {
        char c = *p++;
        switch (m_state) {
            case State::kTagGap:
                if (Is(c, kWhite)) {
                    continue;
                }
                if (c == '>') {
                    EmitStart();
                    return p;
                }
                m_name.assign(1, c);
                m_fNameOverflow = false;
                m_state = State::kAttrName;
                continue;
            case State::kAttrName:
                if (Is(c, kWhite) || c == '>' || c == '=') {
                    AttributeName();
                    if (c == '>') {
                        EmitStart();
                        return p;
                    }
                    m_state = (c == '=') ? State::kEquals : State::kAttrGap;
                } else if (m_name.size() < kMaxName) {
                    m_name.push_back(c);
                } else {
                    m_fNameOverflow = true;
                }
                continue;
            case State::kAttrGap:
                if (Is(c, kWhite)) {
                    continue;
                }
                if (c == '>') {
                    EmitStart();
                    return p;
                }
                if (c == '=') {
                    m_state = State::kEquals;
                    continue;
                }
                m_name.assign(1, c);
                m_fNameOverflow = false;
                m_state = State::kAttrName;
                continue;
            case State::kEquals:
                if (Is(c, kWhite)) {
                    continue;
                }
                if (c == '>') {  // "NAME=>": no value
                    EmitStart();
                    return p;
                }
                m_value.clear();
                if (c == '\'') {
                    m_state = State::kSingleQuoted;
                    return p;
                }
                if (c == '"') {
                    m_state = State::kDoubleQuoted;
                    return p;
                }
                m_value.push_back(c);
                m_state = State::kValue;
                continue;
            case State::kValue:
                if (Is(c, kWhite) || c == '>') {
                    AttributeValue();
                    if (c == '>') {
                        EmitStart();
                        return p;
                    }
                    m_state = State::kTagGap;
                } else if (m_value.size() < kMaxValue) {
                    m_value.push_back(c);
                }
                continue;
            default:
                return p - 1;
        }
    }
    return p;
}

const char* SgmlParser::Quoted(const char* p, const char* end, char chQuote) {
    const void* pq = std::memchr(p, chQuote, static_cast<size_t>(end - p));
    const char* stop = pq ? static_cast<const char*>(pq) : end;
    AppendBounded(m_value, p, static_cast<size_t>(stop - p), kMaxValue);
    if (pq == nullptr) {
        return end;
    }
    AttributeValue();
    m_state = State::kTagGap;
    return stop + 1;
}

void SgmlParser::AttributeName() {
    m_attribute = -1;
    if (m_element < 0 || m_fNameOverflow) {
        return;
    }
    int i = FindAttribute(m_element, m_name.data(), m_name.size());
    if (i >= 0) {
        m_afPresent[i] = true;
        m_afHasValue[i] = false;  // a repeated attribute starts over
        m_attribute = i;
    }
}

void SgmlParser::AttributeValue() {
    if (m_attribute >= 0) {
        m_astrValues[m_attribute].assign(m_value);
        m_afHasValue[m_attribute] = true;
    }
    m_attribute = -1;  // one value per attribute
    m_value.clear();
    if (m_value.capacity() > 4096) {
        m_value.shrink_to_fit();
    }
}

void SgmlParser::EmitStart() {
    if (m_element < 0) {
        if (m_rawKind != 0) {
            m_state = State::kRawText;
            m_matched = 0;
        } else {
            m_state = State::kText;
        }
        return;
    }
    const char* apszValues[kMaxAttributes];
    for (int i = 0; i < kMaxAttributes; ++i) {
        apszValues[i] = (m_afPresent[i] && m_afHasValue[i]) ? m_astrValues[i].c_str() : nullptr;
    }
    int element = m_element;
    m_lastStarted = element;
    m_state = State::kAfterOpen;
    m_sink.StartElement(element, m_afPresent, apszValues);
    if (DtdElements()[element].content != Content::kEmpty && m_stack.size() < kMaxDepth) {
        Push(element);
    }
}

void SgmlParser::Push(int element) {
    m_stack.push_back(static_cast<uint8_t>(element));
    ++m_acOpen[element];
}

int SgmlParser::Pop() {
    int top = m_stack.back();
    m_stack.pop_back();
    --m_acOpen[top];
    return top;
}

const char* SgmlParser::EndTag(const char* p, const char* end) {
    while (p < end) {
        char c = *p++;
        if (Is(c, kAlnum)) {
            if (m_name.size() < kMaxName) {
                m_name.push_back(c);
            } else {
                m_fNameOverflow = true;
            }
            continue;
        }
        int element = -1;
        if (m_fNameOverflow) {
            element = -1;
        } else if (m_name.empty()) {
            // "</>" ends the innermost open element.
            element = m_stack.empty() ? -1 : m_stack.back();
        } else {
            element = FindElement(m_name.data(), m_name.size());
        }
        m_state = (c == '>') ? State::kText : State::kJunk;
        if (element >= 0) {
            CloseElement(element);
        }
        return p;
    }
    return p;
}

void SgmlParser::CloseElement(int element) {
    if (DtdElements()[element].content == Content::kEmpty || m_acOpen[element] == 0) {
        return;  // never open, or not open now: the end tag is ignored
    }
    size_t i = m_stack.size();
    while (i > 0 && m_stack[i - 1] != element) {
        --i;
    }
    if (i == 0) {
        return;  // an end tag of an element that is not open is ignored
    }
    // Close the elements opened inside it, then itself.
    while (m_stack.size() >= i) {
        m_sink.EndElement(Pop());
    }
}

const char* SgmlParser::Comment(const char* p, const char* end) {
    if (m_state == State::kBang || m_state == State::kBangDash) {
        char c = *p++;
        if (c == '-') {
            if (m_state == State::kBang) {
                m_state = State::kBangDash;
            } else {
                m_state = State::kComment;
                m_dashes = 0;
            }
        } else {
            // "<!DOCTYPE ...>" and other declarations are skipped up to '>'.
            m_state = (c == '>') ? State::kText : State::kJunk;
        }
        return p;
    }
    while (p < end) {
        if (!Is(*p, kCommentStop)) {
            m_dashes = 0;
            ++p;
            while (p < end && !Is(*p, kCommentStop)) {
                ++p;
            }
            continue;
        }
        char c = *p++;
        if (c == '-') {
            ++m_dashes;
        } else if (m_dashes >= 2) {  // "-->"
            m_state = State::kText;
            return p;
        } else {
            m_dashes = 0;
        }
    }
    return p;
}

const char* SgmlParser::EntityRef(const char* p, const char* end) {
    if (m_state == State::kEntityOpen) {
        if (*p == '#') {
            m_state = State::kCharRef;
            m_name.clear();
            return p + 1;
        }
        m_state = State::kEntity;
    }
    while (p < end) {
        char c = *p;
        if (Is(c, kAlnum) && m_name.size() < kMaxName) {
            m_name.push_back(c);
            ++p;
            continue;
        }
        bool fKnown = FlushEntity();
        m_state = State::kText;
        // The ';' ending a known entity belongs to it; any other character is text again.
        return (fKnown && c == ';') ? p + 1 : p;
    }
    return p;
}

bool SgmlParser::FlushEntity() {
    int entity = m_name.empty() ? -1 : FindEntity(m_name.data(), m_name.size());
    if (entity >= 0) {
        m_name.clear();
        m_sink.Entity(entity);
        return true;
    }
    // Not an entity of the DTD: the text stays as written.
    Put('&');
    if (!m_name.empty()) {
        m_sink.Characters(m_name.data(), m_name.size());
    }
    m_name.clear();
    return false;
}

const char* SgmlParser::CharRef(const char* p, const char* end) {
    while (p < end) {
        char c = *p;
        if (Is(c, kAlnum)) {
            if (m_name.size() < kMaxName) {
                m_name.push_back(c);
            }
            ++p;
            continue;
        }
        FlushCharRef();
        m_state = State::kText;
        return (c == ';') ? p + 1 : p;
    }
    return p;
}

void SgmlParser::FlushCharRef() {
    // Decimal ("&#233;") or hexadecimal ("&#xE9;"); the leading digits count.
    uint32_t value = 0;
    bool fDigits = false;
    size_t i = 0;
    bool fHex = !m_name.empty() && (m_name[0] == 'x' || m_name[0] == 'X');
    if (fHex) {
        i = 1;
    }
    for (; i < m_name.size(); ++i) {
        char c = m_name[i];
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (fHex && Lower(c) >= 'a' && Lower(c) <= 'f') {
            digit = static_cast<uint32_t>(Lower(c) - 'a' + 10);
        } else {
            break;
        }
        fDigits = true;
        value = value * (fHex ? 16 : 10) + digit;
        if (value > 0x10FFFF) {
            fDigits = false;  // out of range: nothing
            break;
        }
    }
    m_name.clear();
    if (!fDigits || value == 0 || (value >= 0xD800 && value <= 0xDFFF)) {
        return;
    }
    // Characters above 127 are delivered in UTF-8.
    char ach[4];
    size_t n;
    if (value < 0x80) {
        ach[0] = static_cast<char>(value);
        n = 1;
    } else if (value < 0x800) {
        ach[0] = static_cast<char>(0xC0 | (value >> 6));
        ach[1] = static_cast<char>(0x80 | (value & 0x3F));
        n = 2;
    } else if (value < 0x10000) {
        ach[0] = static_cast<char>(0xE0 | (value >> 12));
        ach[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        ach[2] = static_cast<char>(0x80 | (value & 0x3F));
        n = 3;
    } else {
        ach[0] = static_cast<char>(0xF0 | (value >> 18));
        ach[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
        ach[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        ach[3] = static_cast<char>(0x80 | (value & 0x3F));
        n = 4;
    }
    m_sink.Characters(ach, n);
}

const char* SgmlParser::Literal(const char* p, const char* end) {
    const char* pszName = m_stack.empty() ? "" : DtdElements()[m_stack.back()].pszName;
    while (p < end) {
        char c = *p;
        char expected;
        if (m_matched == 0) {
            expected = '/';
        } else if (pszName[m_matched - 1] != 0) {
            expected = pszName[m_matched - 1];
        } else {
            expected = '>';
        }
        if (Upper(c) != expected) {
            // Not the end tag: what was matched is text, and c is read again as text.
            Put('<');
            m_sink.Characters(m_achTyped, m_matched);
            m_state = State::kText;
            return p;
        }
        ++p;
        if (expected == '>') {
            m_state = State::kText;
            if (!m_stack.empty()) {
                CloseElement(m_stack.back());
            }
            return p;
        }
        m_achTyped[m_matched++] = c;
    }
    return p;
}

const char* SgmlParser::RawText(const char* p, const char* end) {
    const char* pszEnd = kRawEnd[m_rawKind];
    size_t cchEnd = std::strlen(pszEnd);
    while (p < end) {
        if (m_matched == 0) {
            const void* pLt = std::memchr(p, '<', static_cast<size_t>(end - p));
            if (pLt == nullptr) {
                return end;
            }
            p = static_cast<const char*>(pLt) + 1;
            m_matched = 1;
            continue;
        }
        if (Lower(*p) == pszEnd[m_matched]) {
            ++p;
            if (++m_matched == cchEnd) {
                m_state = State::kJunk;  // the rest of the end tag
                m_rawKind = 0;
                return p;
            }
        } else {
            m_matched = 0;  // *p is looked at again
        }
    }
    return p;
}

void SgmlParser::Finish() {
    switch (m_state) {
        case State::kEntityOpen:
        case State::kEntity:
            FlushEntity();
            break;
        case State::kCharRef:
            FlushCharRef();
            break;
        case State::kNewline:
        case State::kNewlineTagOpen:
            Put('\n');
            break;
        case State::kTagOpen:
            if (m_name.empty()) {
                Put('<');
            }
            break;
        case State::kLiteral:
            Put('<');
            m_sink.Characters(m_achTyped, m_matched);
            break;
        default:
            break;
    }
    m_state = State::kText;
    while (!m_stack.empty()) {
        m_sink.EndElement(Pop());
    }
}

}  // namespace qn::webnet::scan
