// The corruption harness of the verification: copies of a real catalog damaged many ways (bytes,
// pages, rows, addresses), each opened, verified, repaired and verified again in a process of
// its own. Nothing may crash or hang, and a repair never makes a catalog worse: it keeps every
// item record, and what it leaves verifies clean unless the storage itself is beyond repair.
// QN_VERIFY_HARNESS_COPIES sets the copies per kind (4 by default; scripts/bench runs more).
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "verify_helpers.h"

using namespace cstest;

namespace {

enum class Kind { Bytes, Page, Rows, Addresses, Truncated };

struct HarnessCase {
    const char* pszName;
    Kind kind;
    bool fReadable;  // the damage leaves a database SQLite reads, so a repair must clean it
};

const HarnessCase kCases[] = {
    {"random bytes", Kind::Bytes, false},       {"zeroed page", Kind::Page, false},
    {"deleted rows", Kind::Rows, true},         {"random addresses", Kind::Addresses, true},
    {"truncated file", Kind::Truncated, false},
};

// Tables whose rows the damage may delete or whose address fields it may overwrite.
const char* const kTables[] = {"db_itemrec",       "db_folderrec", "db_varstringrec",
                               "db_smallvar",      "db_largedata", "db_itemrefrec",
                               "db_attachrec",     "db_userrec",   "db_usergroup",
                               "db_repositoryrec", "dbms_member",  "db_changeentryrec"};
struct AddressField {
    const char* pszTable;
    const char* pszColumn;
};
const AddressField kAddressFields[] = {
    {"db_itemrec", "itemnote"},
    {"db_itemrec", "folderstruct"},
    {"db_itemrec", "itemparentid"},
    {"db_itemrec", "itemaccessgrouporuserid"},
    {"db_itemrec", "uidowner"},
    {"db_itemrefrec", "itemrefdata"},
    {"db_attachrec", "attrepository"},
    {"db_userrec", "usershadowdata"},
    {"db_userrec", "userlastchangeaddr"},
    {"dbms_member", "owner"},
    {"db_varstringrec", "varstringlength"},
    {"db_smallvar", "varlen"},
};

void Damage(const std::string& strPath, Kind kind, std::mt19937& random) {
    std::string strBytes = qn::test::ReadFile(strPath);
    switch (kind) {
        case Kind::Bytes:
            for (int i = 0; i < 40; ++i) {
                strBytes[random() % strBytes.size()] = static_cast<char>(random());
            }
            qn::test::WriteFile(strPath, strBytes);
            return;
        case Kind::Page: {
            const size_t nPage = 1 + random() % (strBytes.size() / 4096 - 1);
            std::fill_n(strBytes.begin() + static_cast<long>(nPage * 4096), 4096, '\0');
            qn::test::WriteFile(strPath, strBytes);
            return;
        }
        case Kind::Truncated:
            strBytes.resize(strBytes.size() / 2 + random() % (strBytes.size() / 2));
            qn::test::WriteFile(strPath, strBytes);
            return;
        case Kind::Rows: {
            CCatalogFile file(strPath);
            for (int i = 0; i < 3; ++i) {
                const std::string strTable = kTables[random() % std::size(kTables)];
                file.Exec("DELETE FROM " + strTable + " WHERE rowid IN (SELECT rowid FROM " +
                          strTable + " ORDER BY rowid LIMIT 1 OFFSET " +
                          std::to_string(random() % 8) + ")");
            }
            return;
        }
        case Kind::Addresses: {
            CCatalogFile file(strPath);
            for (int i = 0; i < 3; ++i) {
                const AddressField& f = kAddressFields[random() % std::size(kAddressFields)];
                file.Exec(std::string("UPDATE ") + f.pszTable + " SET " + f.pszColumn + "=" +
                          std::to_string(random() % 3 == 0 ? random() % 1000 : random()) +
                          " WHERE rowid IN (SELECT rowid FROM " + f.pszTable +
                          " ORDER BY rowid LIMIT 1 OFFSET " + std::to_string(random() % 8) + ")");
            }
            return;
        }
    }
}

class VerifyCorruptionTest : public VerifyTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(VerifyCorruptionTest, NothingCrashesAndARepairNeverMakesThingsWorse) {
    const HarnessCase& c = kCases[GetParam()];
    const char* pszCopies = std::getenv("QN_VERIFY_HARNESS_COPIES");
    const int cCopies = pszCopies != nullptr ? std::max(1, std::atoi(pszCopies)) : 4;
    const std::string strSound = FileBytes();
    const std::string strIni = qn::test::ReadFile(m_dir.file("cat.ini"));
    std::mt19937 random(static_cast<unsigned>(GetParam() * 7919 + 1));
    for (int nCopy = 0; nCopy < cCopies; ++nCopy) {
        const std::string strCopy = m_dir.file("copy" + std::to_string(nCopy) + ".vfc");
        qn::test::WriteFile(strCopy, strSound);
        qn::test::WriteFile(m_dir.file("copy" + std::to_string(nCopy) + ".ini"), strIni);
        Damage(strCopy, c.kind, random);
        const int64_t cItemsBefore = CCatalogFile(strCopy).Int("SELECT count(*) FROM db_itemrec");
        m_strPath = strCopy;
        pid_t pid = qn::test::ForkChild([&] {
            alarm(60);  // a hang ends the child with SIGALRM, which the parent reports
            EXSM_STATUS st;
            BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
            if (hbrd != nullptr) {
                EXBoardClose(hbrd, &st);
            }
            const uint16_t wFirst = Verify(false);
            const uint16_t wRepair = Verify(true);
            const uint16_t wAfter = Verify(false);
            if (wFirst == 0 && wRepair != 0) {
                return 1;  // a repair of a catalog without findings
            }
            if (c.fReadable && wFirst != 0xFFFF && wAfter != 0) {
                return 2;  // readable damage left behind
            }
            const int64_t cItemsAfter =
                CCatalogFile(strCopy).Int("SELECT count(*) FROM db_itemrec");
            if (cItemsBefore >= 0 && wRepair == 53 && cItemsAfter < cItemsBefore) {
                return 3;  // the repair lost items
            }
            return 0;
        });
        const std::string strLog = m_dir.file("copy" + std::to_string(nCopy) + ".log");
        EXPECT_EQ(qn::test::WaitChild(pid), 0)
            << c.pszName << ", copy " << nCopy << "; the findings:\n"
            << qn::test::ReadFile(strLog);
        unlink(strLog.c_str());
        unlink(strCopy.c_str());
        unlink((strCopy + ".before-repair").c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, VerifyCorruptionTest,
                         ::testing::Range<size_t>(0, std::size(kCases)));

}  // namespace
