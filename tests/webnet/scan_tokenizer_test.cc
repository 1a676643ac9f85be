// The tokenizer and the scanner without files: the fixtures fed in blocks of every size give
// the same records, and bad input (unterminated markup, NUL and high bytes, deep nesting, huge
// values) is read within bounds.
#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dtd.h"
#include "scan_records.h"
#include "scanner.h"
#include "sgml.h"
#include "testsupport.h"

using namespace qn::webnet::scan;
using qn::test::CollectRecords;
using qn::test::Joined;

namespace {

// Scans bytes fed in blocks of cbBlock (0: all at once), as the file scan does.
std::vector<std::string> Scan(const std::string& strHtml, size_t cbBlock = 0) {
    std::vector<std::string> records;
    PageScanner scanner(CollectRecords, &records);
    SgmlParser parser(scanner);
    parser.SetContinueFlag(scanner.ContinueFlag());
    if (cbBlock == 0) {
        cbBlock = strHtml.size() + 1;
    }
    for (size_t i = 0; i < strHtml.size(); i += cbBlock) {
        parser.Feed(strHtml.data() + i, std::min(cbBlock, strHtml.size() - i));
    }
    parser.Finish();
    scanner.Finish();
    return records;
}

std::vector<std::string> FixtureNames() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(SCAN_FIXTURE_DIR)) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".html") == 0) {
                names.push_back(name.substr(0, name.size() - 5));
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(ScanDtd, ElementsAndEntitiesAreSortedForBinarySearch) {
    const DtdElement* elements = DtdElements();
    for (int i = 1; i < kDtdElementCount; ++i) {
        EXPECT_LT(strcasecmp(elements[i - 1].pszName, elements[i].pszName), 0)
            << elements[i].pszName;
    }
    for (int i = 1; i < kDtdEntityCount; ++i) {
        EXPECT_LT(strcmp(DtdEntities()[i - 1], DtdEntities()[i]), 0) << DtdEntities()[i];
    }
    for (int i = 0; i < kDtdElementCount; ++i) {
        const char* psz = elements[i].pszName;
        EXPECT_EQ(FindElement(psz, strlen(psz)), i);
        std::string lower(psz);
        for (char& c : lower) {
            c = static_cast<char>(tolower(c));
        }
        EXPECT_EQ(FindElement(lower.data(), lower.size()), i);
    }
    EXPECT_EQ(FindElement("FONT", 4), -1);
    EXPECT_EQ(FindEntity("eacute", 6), FindEntity("eacute", 6));
    EXPECT_GE(FindEntity("eacute", 6), 0);
    EXPECT_EQ(FindEntity("Amp", 3), -1);  // entity names keep their case
    EXPECT_EQ(FindEntity("nbsp", 4), -1);
}

TEST(ScanDtd, EveryAttributeOfTheAnchorListIsFound) {
    int a = FindElement("a", 1);
    const DtdElement& e = DtdElements()[a];
    ASSERT_EQ(e.cAttributes, 18);
    for (int i = 0; i < e.cAttributes; ++i) {
        std::string name = e.apszAttributes[i];
        EXPECT_EQ(FindAttribute(a, name.data(), name.size()), i) << name;
    }
    EXPECT_EQ(FindAttribute(a, "qni_item_subtype", 16), 6);
    EXPECT_EQ(FindAttribute(a, "target", 6), -1);
    int link = FindElement("LINK", 4);
    EXPECT_EQ(FindAttribute(link, "BULLETIN-DATE", 13), 0);
    EXPECT_STREQ(DtdElements()[link].apszAttributes[0], "Bulletin-Date");
}

TEST(ScanTokenizer, FixturesGiveTheSameRecordsInBlocksOfAnySize) {
    std::vector<std::string> names = FixtureNames();
    ASSERT_GE(names.size(), 10u);
    for (const std::string& name : names) {
        std::string html = qn::test::ReadFile(std::string(SCAN_FIXTURE_DIR) + "/" + name + ".html");
        std::string expected =
            Joined(qn::test::ReadLines(std::string(SCAN_FIXTURE_DIR) + "/" + name + ".records"));
        for (size_t block : {0, 1, 2, 3, 7, 64}) {
            EXPECT_EQ(Joined(Scan(html, block)), expected) << name << " in blocks of " << block;
        }
    }
}

TEST(ScanTokenizer, UnterminatedMarkupAtTheEndLosesNothingBefore) {
    struct Case {
        const char* html;
        const char* records;
    } cases[] = {
        {"<title>T</title>text <a href=\"x", "0 TITLE \"T\"\n4 - \"text \"\n"},
        {"<title>T</title>text <!-- open comment <a href=x>y</a>",
         "0 TITLE \"T\"\n4 - \"text \"\n"},
        {"<title>T</title>text &eacute", "0 TITLE \"T\"\n4 - \"text e\"\n"},
        {"<title>T</title>text <", "0 TITLE \"T\"\n4 - \"text <\"\n"},
        {"<a href=x>open anchor", "0 A \"open anchor\" HREF=\"x\"\n"},
        {"<title>open title", "0 TITLE \"open title\"\n"},
        {"<ul><li>x", "1 UL\n3 LI\n2 UL\n4 - \"x\"\n"},  // UL does not break a run
        {"<a href='x>y</a>", ""},
        {"<script>never closed <a href=x>", ""},
        {"<xmp>literal <", "4 - \"literal <\"\n"},
        {"a &#xZZ; &#; &#99999999; &#0; b", "4 - \"a     b\"\n"},
        {"</>x</ >y</a>", "4 - \"xy\"\n"},
    };
    for (const auto& c : cases) {
        for (size_t block : {0, 1}) {
            EXPECT_EQ(Joined(Scan(c.html, block)), c.records) << c.html;
        }
    }
}

TEST(ScanTokenizer, AttributeForms) {
    struct Case {
        const char* html;
        const char* records;
    } cases[] = {
        {"<a href>x</a>", "0 A \"x\" HREF\n"},
        {"<a href=>x</a>", "0 A \"x\" HREF\n"},
        {"<a href = \"a b\" name='n'>x</a>", "0 A \"x\" HREF=\"a b\" NAME=\"n\"\n"},
        {"<a href=1 href=2>x</a>", "0 A \"x\" HREF=\"2\"\n"},
        {"<a HREF=\"a>b\">x</a>", "0 A \"x\" HREF=\"a>b\"\n"},
        {"<a href=\"x\"name=y>x</a>", "0 A \"x\" HREF=\"x\" NAME=\"y\"\n"},
        {"<a href=a&amp;b>x</a>", "0 A \"x\" HREF=\"a&amp;b\"\n"},
        {"<hr/><hr />", "3 HR\n3 HR\n"},
        {"<A\nHREF=u\n>x</A\n>", "0 A \"x\" HREF=\"u\"\n"},
        {"<a href=\"\">x</a>", "0 A \"x\" HREF=\"\"\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Joined(Scan(c.html)), c.records) << c.html;
        EXPECT_EQ(Joined(Scan(c.html, 1)), c.records) << c.html;
    }
}

TEST(ScanTokenizer, NulAndHighBytes) {
    const char kHtml[] = "<title>caf\xC3\xA9\0x</title>a\x80\xFF\0b\x01";
    std::string html(kHtml, sizeof kHtml - 1);
    EXPECT_EQ(Joined(Scan(html)), "0 TITLE \"caf\xC3\xA9 x\"\n4 - \"a\x80\xFF\"\n4 - \"b\"\n");
}

TEST(ScanTokenizer, DeepNestingAndHugeValuesStayBounded) {
    std::string html;
    for (int i = 0; i < 200000; ++i) {
        html += "<b><ul>";
    }
    html += "<a href=\"" + std::string(3u << 20, 'h') + "\">deep</a>";
    std::vector<std::string> records = Scan(html, 16384);
    // Every UL start and end is reported (the deepest ones beyond the element stack's bound
    // end only when the page does), the anchor's value is cut to the tokenizer's bound.
    size_t starts = std::count(records.begin(), records.end(), "1 UL");
    size_t ends = std::count(records.begin(), records.end(), "2 UL");
    EXPECT_EQ(starts, 200000u);
    EXPECT_LE(ends, starts);
    EXPECT_GE(ends, SgmlParser::kMaxDepth / 2 - 1);
    auto anchor = std::find_if(records.begin(), records.end(),
                               [](const std::string& r) { return r.rfind("0 A", 0) == 0; });
    ASSERT_NE(anchor, records.end());
    EXPECT_EQ(anchor->size(), std::string("0 A \"deep\" HREF=\"\"").size() + SgmlParser::kMaxValue);
}

TEST(ScanTokenizer, EndTagsOfElementsNotOpenUnderADeepStackAreIgnoredInPassing) {
    // A million stray end tags over a deep element stack: each is ignored without a walk
    // down the stack (which made a 4 MB page take hours).
    std::string html;
    for (size_t i = 0; i + 1 < SgmlParser::kMaxDepth; ++i) {
        html += "<b>";
    }
    for (int i = 0; i < 1000000; ++i) {
        html += "</i>";
    }
    html += "<title>t</title></b>x";
    EXPECT_EQ(Joined(Scan(html, 16384)), "0 TITLE \"t\"\n4 - \"x\"\n");
}

TEST(ScanTokenizer, HugeTextIsCutNotGrownWithoutBound) {
    std::string html = "<title>" + std::string(PageScanner::kMaxText + 1000, 'x') + "</title>";
    std::vector<std::string> records = Scan(html, 16384);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].size(), std::string("0 TITLE \"\"").size() + PageScanner::kMaxText);
}

TEST(ScanTokenizer, StoppingRoutineIsNotCalledAgain) {
    int calls = 0;
    auto stop = [](ScanElement*, void* userData) {
        ++*static_cast<int*>(userData);
        return 0;
    };
    PageScanner scanner(stop, &calls);
    SgmlParser parser(scanner);
    parser.SetContinueFlag(scanner.ContinueFlag());
    std::string html = "<body><ul><li>a<li>b</ul><a href=x>y";
    size_t consumed = parser.Feed(html.data(), html.size());
    parser.Finish();
    scanner.Finish();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(consumed, std::string("<body>").size());
}
