// The HTML DTD the page scanner's SGML parser works with: 86 elements sorted by name, their
// attribute lists and content models, and the 66 character entities.
#pragma once

#include <cstddef>

namespace qn::webnet::scan {

enum class Content : unsigned char {
    kMixed,    // text and markup
    kEmpty,    // no end tag expected; never on the element stack
    kLiteral,  // no markup recognised inside except the element's own end tag
};

struct DtdElement {
    const char* pszName;                // upper case, as the records spell it
    const char* const* apszAttributes;  // spelled as the records report them
    int cAttributes;
    Content content;
};

inline constexpr int kDtdElementCount = 86;
inline constexpr int kDtdEntityCount = 66;
// The longest attribute list (A) has 18 entries.
inline constexpr int kMaxAttributes = 18;

// The elements in name order (index = element number).
const DtdElement* DtdElements();
// The entity names in byte order (index = entity number).
const char* const* DtdEntities();

// Element number of a name without regard to letter case (binary search); -1 when unknown.
int FindElement(const char* pchName, size_t cchName);
// Attribute number of a name within an element's list, without regard to case; -1 if absent.
int FindAttribute(int element, const char* pchName, size_t cchName);
// Entity number of a name, with regard to case (binary search); -1 when unknown.
int FindEntity(const char* pchName, size_t cchName);

}  // namespace qn::webnet::scan
