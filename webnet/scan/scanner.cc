#include "scanner.h"

#include <cstring>
#include <mutex>

namespace qn::webnet::scan {
namespace {

unsigned char g_aClasses[kDtdElementCount];
signed char g_aSlots[kDtdElementCount];  // container slot of an element, -1 for none
int g_elementA = -1;
std::once_flag g_classesOnce;

void Classify(const char* pszName, unsigned char cls) {
    int element = FindElement(pszName, std::strlen(pszName));
    if (element >= 0) {
        g_aClasses[element] |= cls;
    }
}

void BuildOnce() {
    for (int i = 0; i < kDtdElementCount; ++i) {
        g_aClasses[i] = 0;
        g_aSlots[i] = -1;
    }
    for (const char* psz : {"DL", "DIR", "MENU", "OL", "UL", "BODY"}) {
        Classify(psz, kClassList);
    }
    for (const char* psz : {"DT", "DD", "LI", "TT", "HR", "ADDRESS", "META"}) {
        Classify(psz, kClassSimple);
    }
    signed char slot = 0;
    for (const char* psz : {"A", "TITLE", "H1", "H2", "H3", "H4", "H5", "H6", "H7"}) {
        Classify(psz, kClassContainer);
        g_aSlots[FindElement(psz, std::strlen(psz))] = slot++;
    }
    for (const char* psz : {"B", "UL", "I"}) {
        Classify(psz, kClassInline);
    }
    g_elementA = FindElement("A", 1);
}

// Text characters: letters, digits, punctuation and the space; the bytes 0x80 to 0xFF count
// as letters, so text in UTF-8 or another 8-bit character set stays whole.
struct TextTable {
    bool a[256] = {};
    constexpr TextTable() {
        for (int c = 0; c < 256; ++c) {
            a[c] = (c >= 0x20 && c < 0x7F) || c >= 0x80;
        }
    }
};
constexpr TextTable kText;

inline bool IsText(char c) {
    return kText.a[static_cast<unsigned char>(c)];
}

void AppendBounded(std::string& str, const char* pch, size_t cch) {
    if (str.size() < PageScanner::kMaxText) {
        str.append(pch, std::min(cch, PageScanner::kMaxText - str.size()));
    }
}

// Adds a stretch of characters to a text, as both the run and a container collect it: text
// characters are appended (spaces not while the text is empty); any other character ends the
// stretch: the returned cursor points at it (or at end).
const char* Collect(std::string& str, const char* p, const char* end) {
    const char* start = p;
    while (p < end && IsText(*p)) {
        ++p;
    }
    if (str.empty()) {
        while (start < p && *start == ' ') {
            ++start;
        }
    }
    if (start < p) {
        AppendBounded(str, start, static_cast<size_t>(p - start));
    }
    return p;
}

}  // namespace

void BuildElementClasses() {
    std::call_once(g_classesOnce, BuildOnce);
}

unsigned char ElementClassOf(int element) {
    BuildElementClasses();
    return (element >= 0 && element < kDtdElementCount) ? g_aClasses[element] : 0;
}

PageScanner::PageScanner(QNINetScanRoutine routine, void* userData)
    : m_routine(routine), m_pUserData(userData) {
    BuildElementClasses();
    m_run.reserve(512);
}

void PageScanner::Report(const char* pszName, const char* pszText, int kind, int cAttributes,
                         const ScanAttribute* pAttributes) {
    if (m_fContinue == 0) {
        return;  // the routine asked to stop
    }
    ScanElement element;
    element.name = pszName;
    element.text = pszText;
    element.kind = kind;
    element.count = cAttributes;
    element.attributes = cAttributes > 0 ? pAttributes : nullptr;
    m_fContinue = m_routine(&element, m_pUserData);
}

void PageScanner::ReportRun() {
    Report(nullptr, m_run.c_str(), QNINET_SCAN_TEXT, 0, nullptr);
    m_run.clear();
}

void PageScanner::Characters(const char* p, size_t cch) {
    const char* end = p + cch;
    while (p < end) {
        if (m_fInContainer) {
            std::string& text = m_slots[m_current].text;
            p = Collect(text, p, end);
            if (p < end) {
                ++p;  // tab, line end, other control: one space between words
                if (!text.empty() && text.back() != ' ') {
                    AppendBounded(text, " ", 1);
                }
            }
        } else {
            p = Collect(m_run, p, end);
            if (p < end) {
                ++p;
                if (!m_run.empty()) {
                    ReportRun();
                }
            }
        }
    }
}

void PageScanner::Entity(int entity) {
    const char* pszName = DtdEntities()[entity];
    char c = pszName[0];
    if (std::strcmp(pszName, "amp") == 0) {
        c = '&';
    } else if (std::strcmp(pszName, "gt") == 0) {
        c = '>';
    } else if (std::strcmp(pszName, "lt") == 0) {
        c = '<';
    } else if (std::strcmp(pszName, "quot") == 0) {
        c = '"';
    }
    Characters(&c, 1);
}

void PageScanner::ReportStart(int element, int kind, const bool* afPresent,
                              const char* const* apszValues) {
    const DtdElement& e = DtdElements()[element];
    ScanAttribute attributes[kMaxAttributes];
    int n = 0;
    for (int i = 0; i < e.cAttributes; ++i) {
        if (afPresent[i]) {
            attributes[n].name = e.apszAttributes[i];
            attributes[n].value = apszValues[i];
            ++n;
        }
    }
    Report(e.pszName, nullptr, kind, n, attributes);
}

void PageScanner::StartElement(int element, const bool* afPresent, const char* const* apszValues) {
    unsigned char cls = g_aClasses[element];
    if (!m_run.empty() && !(cls & kClassInline)) {
        ReportRun();
    }
    int slot = g_aSlots[element];
    if (slot >= 0 && m_slots[slot].fOpen) {
        EndElement(element);  // a second start of an open container ends the first
    }
    if (cls & kClassSimple) {
        ReportStart(element, QNINET_SCAN_SIMPLE, afPresent, apszValues);
    } else if (cls & kClassList) {
        ReportStart(element, QNINET_SCAN_LIST_START, afPresent, apszValues);
    } else if (cls & kClassContainer) {
        if (m_fInContainer && element != g_elementA) {
            return;  // only A opens inside another container
        }
        Slot& s = m_slots[slot];
        const DtdElement& e = DtdElements()[element];
        s.fOpen = true;
        s.text.clear();
        s.cAttributes = 0;
        for (int i = 0; i < e.cAttributes; ++i) {
            if (afPresent[i]) {
                int n = s.cAttributes++;
                s.attributes[n].name = e.apszAttributes[i];
                if (apszValues[i] != nullptr) {
                    s.astrValues[n].assign(apszValues[i]);
                    s.attributes[n].value = s.astrValues[n].c_str();
                } else {
                    s.attributes[n].value = nullptr;
                }
            }
        }
        m_current = slot;
        m_lastContainer = element;
        m_fInContainer = true;
        return;
    } else if ((cls & kClassInline) || m_lastContainer == g_elementA) {
        return;
    }
    m_fInContainer = false;
}

void PageScanner::EndElement(int element) {
    unsigned char cls = g_aClasses[element];
    if (!m_run.empty() && !(cls & kClassInline)) {
        ReportRun();
    }
    const char* pszName = DtdElements()[element].pszName;
    if (cls & kClassList) {
        Report(pszName, nullptr, QNINET_SCAN_LIST_END, 0, nullptr);
    }
    int slot = g_aSlots[element];
    if (slot >= 0 && m_slots[slot].fOpen) {
        Slot& s = m_slots[slot];
        // A line end before the end tag leaves one space behind; it is no part of the text.
        while (!s.text.empty() && s.text.back() == ' ') {
            s.text.pop_back();
        }
        Report(pszName, s.text.empty() ? nullptr : s.text.c_str(), QNINET_SCAN_CONTAINER,
               s.cAttributes, s.attributes);
        m_fInContainer = false;
        s.fOpen = false;
        s.text.clear();
        for (int i = 0; i < s.cAttributes; ++i) {
            if (s.astrValues[i].capacity() > 4096) {
                std::string().swap(s.astrValues[i]);
            }
        }
        s.cAttributes = 0;
    }
}

void PageScanner::Finish() {
    if (!m_run.empty()) {
        ReportRun();
    }
    // Containers the tokenizer could not keep track of (beyond its nesting bound) end here.
    for (int element = 0; element < kDtdElementCount; ++element) {
        int slot = g_aSlots[element];
        if (slot >= 0 && m_slots[slot].fOpen) {
            EndElement(element);
        }
    }
}

}  // namespace qn::webnet::scan
