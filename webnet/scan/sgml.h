// A streaming SGML tokenizer for the scanner's HTML DTD.
//
// Bytes arrive in blocks of any size (a tag, entity or comment may span blocks); the tokenizer
// keeps its state between calls and reports characters, entities, start and end tags to a
// sink. It follows the classic SGML parser of the web libraries this system grew from:
//   - element names are alphanumeric, looked up in the DTD without regard to case; unknown
//     elements and their attributes are dropped;
//   - attributes outside the element's list are dropped; an attribute without a value is
//     present with a null value; a repeated attribute keeps the last value;
//   - one line feed right after the start tag of a non-empty element is dropped, and a line
//     feed right before an end tag ("\n</") too;
//   - LISTING, PLAINTEXT and XMP content is literal up to the element's own end tag;
//   - an end tag closes the open elements above its own element; empty-content elements are
//     never open; at Finish the open elements are closed innermost first.
// Beyond that classic parser it also: ends a comment at "-->" (not at the first '>'); skips
// the contents of SCRIPT and STYLE; reads quoted values inside unknown tags; takes a '<' that
// starts no tag as text; accepts "<BR/>"; keeps the character that ends an entity reference
// unless it is ';'; reads hexadecimal character references; and bounds every buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dtd.h"

namespace qn::webnet::scan {

class SgmlSink {
  public:
    virtual ~SgmlSink() = default;
    // Characters of the text; each byte is one character for the sink.
    virtual void Characters(const char* pch, size_t cch) = 0;
    // A DTD entity reference (index into DtdEntities()).
    virtual void Entity(int entity) = 0;
    // A start tag. apszValues[i] is the value of attribute i, NULL when absent or given
    // without a value; afPresent[i] says whether it was given.
    virtual void StartElement(int element, const bool* afPresent,
                              const char* const* apszValues) = 0;
    virtual void EndElement(int element) = 0;
};

class SgmlParser {
  public:
    // Bounds of the buffers the tokenizer keeps between blocks. Longer names never match;
    // longer values keep their first kMaxValue bytes.
    static constexpr size_t kMaxName = 32;
    static constexpr size_t kMaxValue = 1 << 20;
    static constexpr size_t kMaxDepth = 1 << 16;

    explicit SgmlParser(SgmlSink& sink);
    SgmlParser(const SgmlParser&) = delete;
    SgmlParser& operator=(const SgmlParser&) = delete;

    // While *pfContinue is 0 the tokenizer stops early: Feed returns at the next event.
    void SetContinueFlag(const int* pfContinue) { m_pfContinue = pfContinue; }

    // Feeds bytes. Returns the number consumed: all of them unless the continue flag dropped.
    size_t Feed(const char* pch, size_t cch);
    // The end of the input: a pending entity or line feed is delivered, and the open elements
    // are closed innermost first.
    void Finish();

    size_t Depth() const { return m_stack.size(); }

  private:
    enum class State : uint8_t {
        kText,
        kAfterOpen,       // just after a start tag: one line feed is dropped
        kNewline,         // a line feed seen in text
        kNewlineTagOpen,  // "\n<": the line feed is dropped when an end tag follows
        kTagOpen,         // after '<', reading the element name
        kTagGap,          // inside a start tag, between attributes
        kAttrName,
        kAttrGap,  // after an attribute name
        kEquals,   // after '='
        kValue,    // an unquoted value
        kSingleQuoted,
        kDoubleQuoted,
        kEndTag,    // after "</", reading the name
        kJunk,      // skipping up to '>'
        kBang,      // after "<!"
        kBangDash,  // after "<!-"
        kComment,
        kEntityOpen,  // after '&'
        kEntity,
        kCharRef,  // after "&#"
        kLiteral,  // after '<' inside LISTING, PLAINTEXT or XMP
        kRawText,  // inside SCRIPT or STYLE
    };

    const char* Text(const char* p, const char* end);
    const char* TagOpen(const char* p, const char* end);
    const char* InTag(const char* p, const char* end);
    const char* Quoted(const char* p, const char* end, char chQuote);
    const char* EndTag(const char* p, const char* end);
    const char* Comment(const char* p, const char* end);
    const char* EntityRef(const char* p, const char* end);
    const char* CharRef(const char* p, const char* end);
    const char* Literal(const char* p, const char* end);
    const char* RawText(const char* p, const char* end);

    void BeginTag();
    void AttributeName();
    void AttributeValue();
    void EmitStart();
    void CloseElement(int element);
    bool FlushEntity();  // true for an entity of the DTD
    void FlushCharRef();
    void Put(char ch) { m_sink.Characters(&ch, 1); }
    bool TopIsLiteral() const;
    bool Stopped() const { return m_pfContinue != nullptr && *m_pfContinue == 0; }

    SgmlSink& m_sink;
    const int* m_pfContinue = nullptr;
    State m_state = State::kText;

    std::string m_name;  // element, attribute, entity name being read
    bool m_fNameOverflow = false;
    std::string m_value;     // attribute value being read
    int m_element = -1;      // element of the tag being read (-1 unknown)
    int m_lastStarted = -1;  // element of the last start tag (for kAfterOpen)
    int m_attribute = -1;    // attribute waiting for a value
    bool m_afPresent[kMaxAttributes] = {};
    bool m_afHasValue[kMaxAttributes] = {};
    std::string m_astrValues[kMaxAttributes];
    int m_rawKind = 0;                   // 1 SCRIPT, 2 STYLE while the tag is read / skipped
    size_t m_matched = 0;                // characters of an end tag matched (literal and raw text)
    char m_achTyped[kMaxName + 2] = {};  // the characters matched, as typed (literal text)
    int m_dashes = 0;                    // '-' in a row inside a comment

    void Push(int element);
    int Pop();

    std::vector<uint8_t> m_stack;  // open elements, innermost last
    // How often each element is on the stack, so that an end tag of an element that is not
    // open is passed over without a walk down a deep stack.
    uint32_t m_acOpen[kDtdElementCount] = {};
};

}  // namespace qn::webnet::scan
