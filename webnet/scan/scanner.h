// The page scanner ("ParsePage"): turns the tokenizer's events into the flat sequence of
// element records (ScanElement) that the application routine receives.
#pragma once

#include <cstddef>
#include <string>

#include "dtd.h"
#include "sgml.h"
#include "webnet.h"

namespace qn::webnet::scan {

// What the scanner does with an element (a bit set; UL is both a list and inline).
enum ElementClass : unsigned char {
    kClassList = 1,       // start (kind 1) and end (kind 2) reported
    kClassSimple = 2,     // start reported (kind 3)
    kClassContainer = 4,  // enclosed text reported at the end (kind 0)
    kClassInline = 8,     // does not break a text run
};

// Builds the class table from the element names (done once; QNINetInitialize calls it).
void BuildElementClasses();
unsigned char ElementClassOf(int element);

class PageScanner final : public SgmlSink {
  public:
    // Bounds of the text a record can carry; longer text keeps its first bytes.
    static constexpr size_t kMaxText = 4u << 20;

    PageScanner(QNINetScanRoutine routine, void* userData);
    PageScanner(const PageScanner&) = delete;
    PageScanner& operator=(const PageScanner&) = delete;

    // The continue flag: 1 at the start, then the routine's last result. Once it is 0 the
    // routine is not called again.
    int* ContinueFlag() { return &m_fContinue; }
    // The end of the page (after the tokenizer's Finish): a pending text run is reported.
    void Finish();

    void Characters(const char* pch, size_t cch) override;
    void Entity(int entity) override;
    void StartElement(int element, const bool* afPresent, const char* const* apszValues) override;
    void EndElement(int element) override;

  private:
    static constexpr int kSlots = 9;  // A, TITLE, H1..H7

    struct Slot {
        bool fOpen = false;
        std::string text;
        std::string astrValues[kMaxAttributes];
        ScanAttribute attributes[kMaxAttributes] = {};
        int cAttributes = 0;
    };

    void Report(const char* pszName, const char* pszText, int kind, int cAttributes,
                const ScanAttribute* pAttributes);
    void ReportRun();
    void ReportStart(int element, int kind, const bool* afPresent, const char* const* apszValues);

    QNINetScanRoutine m_routine;
    void* m_pUserData;
    int m_fContinue = 1;
    std::string m_run;  // the text run being collected
    Slot m_slots[kSlots];
    bool m_fInContainer = false;
    int m_current = -1;        // slot collecting text while m_fInContainer
    int m_lastContainer = -1;  // element of the last container opened
};

}  // namespace qn::webnet::scan
