// The store routines against real catalogs and real processes: variable strings, stamps, the
// busy box, item create and write with their change entries, and the change log read by
// another process.
#include <unistd.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <vector>

#include "board.h"
#include "catalog_fixture.h"
#include "engine.h"
#include "foundation/prefs.h"
#include "foundation/syslog.h"
#include "groups.h"
#include "items.h"
#include "locks.h"
#include "notify.h"
#include "schema.h"
#include "users.h"
#include "varstr.h"

using namespace cstest;
using namespace catstore;

namespace {

// A packed record field by value (gtest would bind a reference to it).
template <typename T>
T Copy(T v) {
    return v;
}

uint32_t Count(BOARD_OBJECT* hbrd, int32_t nType) {
    uint32_t c = 0;
    hbrd->pdb->RecordCount(nType, &c);
    return c;
}

struct Chunks {
    uint32_t large, largevar, small, smallvar, headers;
};

Chunks CountChunks(BOARD_OBJECT* hbrd) {
    return {Count(hbrd, DB_LARGEDATA), Count(hbrd, DB_LARGEVAR), Count(hbrd, DB_SMALLDATA),
            Count(hbrd, DB_SMALLVAR), Count(hbrd, DB_VARSTRINGREC)};
}

DBStatus WriteVar(BOARD_OBJECT* hbrd, VarStringHolder* pHolder) {
    CStoreTransaction tx(hbrd->pdb, "TestVar", VarStringPacket('w'));
    DBStatus st = tx.Status();
    if (st == DBSuccess) {
        st = VarStringWrite(pHolder, hbrd->pdb, VSK_ITEMNOTE);
    }
    return tx.Finish(st);
}

DBStatus ReadVar(BOARD_OBJECT* hbrd, VarStringHolder* pHolder) {
    CStoreRead read(hbrd->pdb, VarStringPacket('r'));
    return read.Status() == DBSuccess ? VarStringRead(pHolder, hbrd->pdb) : read.Status();
}

std::string Pattern(size_t cb) {
    std::string s(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
        s[i] = static_cast<char>(i * 7 + 3);
    }
    return s;
}

// The file a child process waits for, and the flag files of a little handshake.
bool WaitForFile(const std::string& strPath, int ms = 20000) {
    return qn::test::WaitFor([&]() { return ::access(strPath.c_str(), F_OK) == 0; }, ms);
}
void Touch(const std::string& strPath) {
    qn::test::WriteFile(strPath, "1");
}

}  // namespace

class StoreTest : public CatalogTest {
  protected:
    void SetUp() override {
        MakeCatalog();
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        ASSERT_NE(AddUser(hbrd, "reader", "r"), 0);
        ASSERT_NE(AddUser(hbrd, "writer", "w"), 0);
        EXSM_STATUS st;
        EXBoardClose(hbrd, &st);
    }
};

TEST_F(StoreTest, VariableStringsUseTheChunkLayoutAtEveryBoundary) {
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    struct Case {
        size_t cb;
        Chunks expected;  // large, largevar, small, smallvar, headers
    } aCases[] = {
        {0, {0, 0, 0, 0, 0}},    {1, {0, 0, 0, 1, 1}},    {63, {0, 0, 0, 1, 1}},
        {64, {0, 0, 1, 0, 1}},   {65, {0, 0, 1, 1, 1}},   {127, {0, 0, 1, 1, 1}},
        {128, {0, 0, 2, 0, 1}},  {129, {0, 1, 0, 0, 1}},  {200, {0, 1, 0, 0, 1}},
        {255, {0, 1, 0, 0, 1}},  {256, {1, 0, 0, 0, 1}},  {257, {1, 0, 0, 1, 1}},
        {300, {1, 0, 0, 1, 1}},  {385, {1, 1, 0, 0, 1}},  {512, {2, 0, 0, 0, 1}},
        {1000, {3, 1, 0, 0, 1}}, {1023, {3, 1, 0, 0, 1}}, {832, {3, 0, 1, 0, 1}},
    };
    for (const Case& c : aCases) {
        Chunks before = CountChunks(hbrd);
        VarStringHolder holder;
        holder.value = Pattern(c.cb);
        ASSERT_EQ(WriteVar(hbrd, &holder), DBSuccess) << c.cb;
        Chunks after = CountChunks(hbrd);
        EXPECT_EQ(after.large - before.large, c.expected.large) << c.cb;
        EXPECT_EQ(after.largevar - before.largevar, c.expected.largevar) << c.cb;
        EXPECT_EQ(after.small - before.small, c.expected.small) << c.cb;
        EXPECT_EQ(after.smallvar - before.smallvar, c.expected.smallvar) << c.cb;
        EXPECT_EQ(after.headers - before.headers, c.expected.headers) << c.cb;
        ChunkCounts layout = ChunkLayout(c.cb);
        EXPECT_EQ(static_cast<uint32_t>(layout.nLargeData), c.expected.large) << c.cb;
        // Read back through a fresh holder.
        VarStringHolder fresh;
        fresh.dba = holder.dba;
        ASSERT_EQ(ReadVar(hbrd, &fresh), DBSuccess) << c.cb;
        EXPECT_EQ(fresh.value, holder.value) << c.cb;
        uint32_t cbStored = 0;
        EXPECT_EQ(VarStringLength(&holder, hbrd->pdb, &cbStored), DBSuccess);
        EXPECT_EQ(cbStored, c.cb);
        // An empty rewrite removes header and chunks.
        holder.value.clear();
        ASSERT_EQ(WriteVar(hbrd, &holder), DBSuccess);
        EXPECT_EQ(holder.dba, 0u);
        Chunks gone = CountChunks(hbrd);
        EXPECT_EQ(gone.headers, before.headers) << c.cb;
        EXPECT_EQ(gone.large + gone.largevar + gone.small + gone.smallvar,
                  before.large + before.largevar + before.small + before.smallvar)
            << c.cb;
    }
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, AnotherProcessRewriteIsFetchedAndTheStaleWriteRefused) {
    BOARD_OBJECT* hbrd = Open("reader", "r");
    ASSERT_NE(hbrd, nullptr);
    VarStringHolder holder;
    holder.value = Pattern(300);
    ASSERT_EQ(WriteVar(hbrd, &holder), DBSuccess);
    VarStringHolder stale = holder;
    DBA dba = holder.dba;
    std::string strPath = m_strPath;
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS st;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "writer", "w", 1, 0, 0, 0, nullptr, &st);
        if (h == nullptr) {
            return 10 + static_cast<int>(st);
        }
        VarStringHolder mine;
        mine.dba = dba;
        if (ReadVar(h, &mine) != DBSuccess || mine.value != Pattern(300)) {
            return 2;
        }
        mine.value = "rewritten by the second process";
        if (WriteVar(h, &mine) != DBSuccess) {
            return 3;
        }
        EXBoardClose(h, &st);
        return 0;
    });
    ASSERT_EQ(qn::test::WaitChild(pid), 0);
    ASSERT_EQ(ReadVar(hbrd, &holder), DBSuccess);
    EXPECT_EQ(holder.value, "rewritten by the second process");
    stale.value = "an older copy";
    EXPECT_EQ(WriteVar(hbrd, &stale), DBRecordModified);
    ASSERT_EQ(ReadVar(hbrd, &holder), DBSuccess);
    EXPECT_EQ(holder.value, "rewritten by the second process");
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, SecondWriterOfAUserOrResourceGetsItemHasChanged) {
    BOARD_OBJECT* hbrd = Open("reader", "r");
    ASSERT_NE(hbrd, nullptr);
    EXSM_STATUS st;
    EX_RESOURCEINFO ri{};
    std::strcpy(ri.szServer, "srv");
    RESOURCE_OBJECT* hRes = EXResourceCreate(hbrd, &ri, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    uint32_t dwResId = ri.dwResourceID;
    USER_OBJECT* hWriter = EXUserFindByName(hbrd, "writer", &st);
    ASSERT_NE(hWriter, nullptr);
    std::string strPath = m_strPath;
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "writer", "w", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        USER_OBJECT* u = EXUserFindByName(h, "writer", &s);
        EX_USERINFO info{};
        EXUserGetInfo(u, &info, &s);
        FreeStr(info.hLongName);
        info.hLongName = Str("changed elsewhere");
        EXUserSetInfo(u, &info, &s);
        FreeUserInfo(&info);
        if (s != EXSM_SUCCESS) {
            return 2;
        }
        RESOURCE_OBJECT* r = EXResourceFindByID(h, dwResId, &s);
        EX_RESOURCEINFO rinfo{};
        EXResourceGetInfo(r, &rinfo, &s);
        std::strcpy(rinfo.szShareName, "other share");
        EXResourceSetInfo(r, &rinfo, &s);
        if (s != EXSM_SUCCESS) {
            return 3;
        }
        EXBoardClose(h, &s);
        return 0;
    });
    ASSERT_EQ(qn::test::WaitChild(pid), 0);

    EX_USERINFO info{};
    EXUserGetInfo(hWriter, &info, &st);
    FreeStr(info.hDescription);
    info.hDescription = Str("my change");
    EXUserSetInfo(hWriter, &info, &st);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    FreeUserInfo(&info);

    EXResourceRefresh(hRes, &st);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    EX_RESOURCEINFO mine{};
    EXResourceGetInfo(hRes, &mine, &st);
    std::strcpy(mine.szShareName, "mine");
    EXResourceSetInfo(hRes, &mine, &st);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    FreeStr(mine.hLocalPath);

    // A fresh find sees the other process's values and can write.
    USER_OBJECT* hFresh = EXUserFindByName(hbrd, "writer", &st);
    EX_USERINFO fresh{};
    EXUserGetInfo(hFresh, &fresh, &st);
    EXPECT_EQ(Text(fresh.hLongName), "changed elsewhere");
    EXUserSetInfo(hFresh, &fresh, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    FreeUserInfo(&fresh);
    EXUserRelease(hFresh, &st);
    EXUserRelease(hWriter, &st);
    EXResourceRelease(hRes, &st);
    EXBoardClose(hbrd, &st);
}

namespace {
struct BoxLog {
    int nBoxes = 0;
    std::string strCaption;
    std::string strRelease;
    std::string strReleased;
    int nAnswer = QN_IDRETRY;
};

int BusyHandler(const char* pszText, const char* pszCaption, unsigned int uType, void* pContext) {
    auto* pLog = static_cast<BoxLog*>(pContext);
    ++pLog->nBoxes;
    pLog->strCaption = pszCaption;
    if (pLog->nAnswer == QN_IDRETRY) {
        Touch(pLog->strRelease);
        WaitForFile(pLog->strReleased);
    }
    return pLog->nAnswer;
}

// A writer in another process (the user "writer") that holds write locks inside its
// transaction, as a long change does, until it is released; the flag files of the handshake
// carry strTag in their names.
class ForeignWriter {
  public:
    ForeignWriter(const std::string& strPath, const std::string& strDir, const std::string& strTag)
        : m_strPath(strPath),
          m_strHeld(strDir + "/" + strTag + ".held"),
          m_strRelease(strDir + "/" + strTag + ".release"),
          m_strReleased(strDir + "/" + strTag + ".released") {}

    // Starts the writer; true once it holds the write locks of every code.
    bool Start(std::initializer_list<int32_t> codes) {
        std::vector<LockEntry> packet = Packet(codes, 'w');
        m_pid = qn::test::ForkChild([&]() {
            EXSM_STATUS s;
            BOARD_OBJECT* h =
                EXBoardOpen(m_strPath.c_str(), "writer", "w", 1, 0, 0, 0, nullptr, &s);
            if (h == nullptr) {
                return 10 + static_cast<int>(s);
            }
            h->pdb->Begin("Holding");
            if (h->pdb->LockPacket(packet.data(), packet.size()) != S_OKAY) {
                return 2;
            }
            Touch(m_strHeld);
            WaitForFile(m_strRelease, 10000);
            h->pdb->Abort();
            Touch(m_strReleased);
            EXBoardClose(h, &s);
            return 0;
        });
        return WaitForFile(m_strHeld);
    }
    // The file whose creation releases the locks, and the one the writer makes once they are gone.
    const std::string& ReleaseFile() const { return m_strRelease; }
    const std::string& ReleasedFile() const { return m_strReleased; }
    // Releases the locks (when that has not happened yet) and gives the writer's exit code: 0
    // when it held them all.
    int Finish() {
        Touch(m_strRelease);
        return qn::test::WaitChild(m_pid);
    }

  private:
    std::string m_strPath, m_strHeld, m_strRelease, m_strReleased;
    pid_t m_pid = -1;
};
}  // namespace

static void RunBusyBox(CatalogTest* pTest, const std::string& strPath, const std::string& strDir,
                       int nAnswer) {
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = EXBoardOpen(strPath.c_str(), "reader", "r", 1, 0, 0, 0, nullptr, &st);
    ASSERT_NE(hbrd, nullptr);
    hbrd->pdb->SetLockTimeoutMs(300);
    ForeignWriter writer(strPath, strDir, "busy");
    ASSERT_TRUE(writer.Start({DB_BOARDREC}));
    BoxLog log;
    log.strRelease = writer.ReleaseFile();
    log.strReleased = writer.ReleasedFile();
    log.nAnswer = nAnswer;
    QNSetMessageBoxHandler(BusyHandler, &log);
    EX_BOARDINFO info{};
    EXBoardGetInfo(hbrd, &info, &st);
    QNSetMessageBoxHandler(nullptr, nullptr);
    EXPECT_GE(log.nBoxes, 1);
    EXPECT_EQ(log.strCaption, "Zelto Catalog Timeout");
    if (nAnswer == QN_IDRETRY) {
        EXPECT_EQ(st, EXSM_SUCCESS);
        FreeStr(info.hName);
    } else {
        EXPECT_EQ(st, EXSM_LOCK_ERROR);
    }
    EXPECT_EQ(writer.Finish(), 0);
    EXBoardClose(hbrd, &st);
    (void)pTest;
}

TEST_F(StoreTest, BusyBoxRetryAfterTheReleaseSucceeds) {
    RunBusyBox(this, m_strPath, m_dir.path(), QN_IDRETRY);
}

TEST_F(StoreTest, BusyBoxCancelGivesLockError) {
    RunBusyBox(this, m_strPath, m_dir.path(), QN_IDCANCEL);
}

// Users and groups whose lists another process's writer keeps from being read. ann is in staff.
class ListFailureTest : public StoreTest {
  protected:
    void SetUp() override {
        // An open waits for locks as long as the tuning settings say: one second here. They are
        // read when the process attaches to the log state, so it attaches afresh.
        QNPrefSetString("DBTuning", "DBTimeout", "1", QNINI_INIFILENAME);
        QNSysLogDetach();
        StoreTest::SetUp();
        BOARD_OBJECT* hbrd = Open();
        ASSERT_NE(hbrd, nullptr);
        ASSERT_NE(AddUser(hbrd, "ann", "pw"), 0);
        ASSERT_EQ(AddGroupWithMember(hbrd, "staff", "ann"), EXSM_SUCCESS);
        EXSM_STATUS st;
        EXBoardClose(hbrd, &st);
    }
};

TEST_F(ListFailureTest, AnOpenThatCannotReadItsListsFailsAndLeavesNothingBehind) {
    struct Case {
        const char* pszTag;
        int32_t nHeld;  // what the open's list needs and the writer holds
    } aCases[] = {
        {"user-groups", DB_USERGROUP},
        {"all-users", DBS_USERS},
    };
    for (const Case& c : aCases) {
        ForeignWriter writer(m_strPath, m_dir.path(), c.pszTag);
        ASSERT_TRUE(writer.Start({c.nHeld})) << c.pszTag;
        BoxLog log;
        log.nAnswer = QN_IDCANCEL;
        QNSetMessageBoxHandler(BusyHandler, &log);
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open("ann", "pw", &st);
        QNSetMessageBoxHandler(nullptr, nullptr);
        EXPECT_EQ(hbrd, nullptr) << c.pszTag;
        EXPECT_EQ(st, EXSM_LOCK_ERROR) << c.pszTag;
        EXPECT_GE(log.nBoxes, 1) << c.pszTag;
        if (hbrd != nullptr) {
            EXBoardClose(hbrd, &st);
        }
        EXPECT_EQ(writer.Finish(), 0) << c.pszTag;
        // The failed open left no client entry or lock-manager user: the process opens again,
        // and this time with both lists whole.
        hbrd = Open("ann", "pw", &st);
        ASSERT_NE(hbrd, nullptr) << c.pszTag << ": " << EXStatusText(st);
        ASSERT_NE(hbrd->pCurrentGroups, nullptr);
        EXPECT_EQ(hbrd->pCurrentGroups->entries.size(), 1u) << c.pszTag;
        ASSERT_NE(hbrd->pAllUsers, nullptr);
        EXPECT_EQ(hbrd->pAllUsers->entries.size(), 4u) << c.pszTag;  // SYSTEM, reader, writer, ann
        EXBoardClose(hbrd, &st);
    }
}

TEST_F(ListFailureTest, ListCallsHandOutNoPartialList) {
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    hbrd->pdb->SetLockTimeoutMs(300);
    USER_OBJECT* hAnn = EXUserFindByName(hbrd, "ann", &st);
    GROUP_OBJECT* hStaff = EXGroupFindByName(hbrd, "staff", &st);
    ASSERT_NE(hAnn, nullptr);
    ASSERT_NE(hStaff, nullptr);
    auto users = [](USER_ITERATOR* p) {
        int n = p != nullptr ? EXUserIteratorCount(p) : -1;
        EXUserIteratorRelease(p, 0);
        return n;
    };
    auto groups = [](GROUP_ITERATOR* p) {
        int n = p != nullptr ? EXGroupIteratorCount(p) : -1;
        EXGroupIteratorRelease(p, 0);
        return n;
    };
    // Each call answers with the entries of its list (the membership test: 1 a member, 0 not),
    // or -1 when it gives no answer.
    struct Case {
        const char* pszCall;
        std::function<int(EXSM_STATUS*)> call;
        int nEntries;
    } aCases[] = {
        {"EXBoardGetUsers", [&](EXSM_STATUS* p) { return users(EXBoardGetUsers(hbrd, p)); }, 4},
        {"EXBoardGetGroups", [&](EXSM_STATUS* p) { return groups(EXBoardGetGroups(hbrd, p)); }, 1},
        {"EXUserGetGroups", [&](EXSM_STATUS* p) { return groups(EXUserGetGroups(hAnn, p)); }, 1},
        {"EXGroupGetUsers", [&](EXSM_STATUS* p) { return users(EXGroupGetUsers(hStaff, p)); }, 1},
        {"EXGroupContainsUser",
         [&](EXSM_STATUS* p) {
             EXGroupContainsUser(hStaff, hAnn, p);
             return *p == EXSM_SUCCESS ? 1 : (*p == EXSM_DOES_NOT_EXIST ? 0 : -1);
         },
         1},
    };
    ForeignWriter writer(m_strPath, m_dir.path(), "lists");
    ASSERT_TRUE(writer.Start({DBS_USERS, DBS_GROUPS, DB_USERGROUP}));
    BoxLog log;
    log.nAnswer = QN_IDCANCEL;
    QNSetMessageBoxHandler(BusyHandler, &log);
    for (const Case& c : aCases) {
        int nBoxes = log.nBoxes;
        EXPECT_EQ(c.call(&st), -1) << c.pszCall;
        EXPECT_EQ(st, EXSM_LOCK_ERROR) << c.pszCall;
        EXPECT_GT(log.nBoxes, nBoxes) << c.pszCall;
    }
    QNSetMessageBoxHandler(nullptr, nullptr);
    EXPECT_EQ(writer.Finish(), 0);
    for (const Case& c : aCases) {
        EXPECT_EQ(c.call(&st), c.nEntries) << c.pszCall;
        EXPECT_EQ(st, EXSM_SUCCESS) << c.pszCall;
    }
    EXUserRelease(hAnn, &st);
    EXGroupRelease(hStaff, &st);
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, ChangeEntriesOfAnotherProcessArriveAtRefreshOwnOnesAreSkipped) {
    BOARD_OBJECT* hbrd = Open("reader", "r");
    ASSERT_NE(hbrd, nullptr);
    uint32_t cEntriesBefore = Count(hbrd, DB_CHANGEENTRYREC);
    // The root's list hears every item that comes into the root.
    EXSM_STATUS st;
    Recorder rec;
    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    ITEM_ITERATOR* pList =
        EXFolderGetItems(hbrd, hRoot, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ASSERT_NE(pList, nullptr);
    long cListed = EXItemIteratorCount(pList);
    std::string strPath = m_strPath;
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(strPath.c_str(), "writer", "w", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10 + static_cast<int>(s);
        }
        for (int i = 0; i < 3; ++i) {
            DB_ITEM item;
            std::snprintf(item.item.itemname, sizeof item.item.itemname, "from writer %d", i);
            item.item.type = 1;
            item.item.itemparentid = 1;
            item.item.itemaccess.itemaccesslevel = 1;
            if (ItemCreate(h->pdb, &item, ChangeEntryNotifier, h) != DBSuccess) {
                return 2;
            }
        }
        EXBoardClose(h, &s);
        return 0;
    });
    ASSERT_EQ(qn::test::WaitChild(pid), 0);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntriesBefore + 3);
    EXBoardRefresh(hbrd, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rec.calls[size_t(i)].wKind, EX_CHANGE_CREATED);
        EXPECT_EQ(rec.calls[size_t(i)].pIter, pList);
        EXPECT_EQ(rec.calls[size_t(i)].strName, "from writer " + std::to_string(i));
    }
    EXPECT_EQ(EXItemIteratorCount(pList), cListed + 3);
    // Our own create is queued at once; the log does not bring it back a second time.
    DB_ITEM mine;
    std::strcpy(mine.item.itemname, "mine");
    mine.item.itemparentid = 1;
    mine.item.type = 1;
    ASSERT_EQ(ItemCreate(hbrd->pdb, &mine, ChangeEntryNotifier, hbrd), DBSuccess);
    rec.calls.clear();
    EXBoardRefresh(hbrd, &st);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].strName, "mine");
    rec.calls.clear();
    EXBoardRefresh(hbrd, &st);
    EXPECT_TRUE(rec.calls.empty());
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hRoot, &st);
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, ItemCreateWriteAndFinds) {
    BOARD_OBJECT* hbrd = Open("writer", "w");
    ASSERT_NE(hbrd, nullptr);
    DB_ITEM item;
    std::strcpy(item.item.itemname, "bookmark");
    item.item.type = 1;
    item.item.itemparentid = 1;
    item.item.itemid = 5000;
    item.item.uidowner = 3;
    item.vsiNote.value = Pattern(400);
    item.attach.atttype = 2;
    item.attach.attfilekey.attnameresourceid = 9;
    std::strcpy(item.attach.attnamepath, "/Some/Path.HTML");
    item.repos.repositorytype = 1;
    item.vsiReposLocation.value = "repository location";
    uint32_t cEntries = Count(hbrd, DB_CHANGEENTRYREC);
    ASSERT_EQ(ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries + 1);
    EXPECT_EQ(Copy(item.item.itemversion), 25);

    // A second item asking for the same id gets the next one.
    DB_ITEM twin;
    std::strcpy(twin.item.itemname, "twin");
    twin.item.itemparentid = 1;
    twin.item.itemid = 5000;
    ASSERT_EQ(ItemCreate(hbrd->pdb, &twin, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Copy(twin.item.itemid), 5001u);

    DB_ITEM found;
    ASSERT_EQ(ItemFindByID(hbrd->pdb, 5000, &found), DBSuccess);
    EXPECT_STREQ(found.item.itemname, "bookmark");
    EXPECT_EQ(found.vsiNote.value, Pattern(400));
    EXPECT_EQ(found.vsiReposLocation.value, "repository location");
    EXPECT_EQ(Copy(found.attach.attfilekey.attnamecrc), PathChecksum("/some/path.html"));
    EXPECT_EQ(Copy(found.attach.attreposkey.attreposcrc),
              CDbContext::Checksum("repository location", 19));
    DB_ITEM byKey;
    ASSERT_EQ(ItemFindByAttachmentKey(hbrd->pdb, 9, PathChecksum("/SOME/path.html"), &byKey),
              DBSuccess);
    EXPECT_EQ(Copy(byKey.item.itemid), 5000u);
    ASSERT_EQ(ItemFindByRepositoryKey(hbrd->pdb, 0, found.attach.attreposkey.attreposcrc, &byKey),
              DBSuccess);
    EXPECT_EQ(Copy(byKey.item.itemid), 5000u);
    EXPECT_EQ(ItemFindByID(hbrd->pdb, 4999, &byKey), DBNotFound);

    // Two copies: the second writer is refused.
    DB_ITEM copyA = found, copyB = found;
    std::strcpy(copyA.item.itemname, "renamed A");
    copyA.dwFieldFlags = 0x1;
    ASSERT_EQ(ItemWrite(hbrd->pdb, &copyA, ChangeEntryNotifier, hbrd), DBSuccess);
    std::strcpy(copyB.item.itemname, "renamed B");
    copyB.dwFieldFlags = 0x1;
    EXPECT_EQ(ItemWrite(hbrd->pdb, &copyB, ChangeEntryNotifier, hbrd), DBRecordModified);
    ASSERT_EQ(ItemRead(hbrd->pdb, &copyB), DBRecordModified);
    EXPECT_STREQ(copyB.item.itemname, "renamed A");
    // A write with only the owner bit changes the record but writes no change entry.
    cEntries = Count(hbrd, DB_CHANGEENTRYREC);
    copyB.item.uidowner = 2;
    copyB.dwFieldFlags = ITEMFIELDS_OWNER;
    ASSERT_EQ(ItemWrite(hbrd->pdb, &copyB, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries);
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, AFailedCreateLeavesNothingBehind) {
    BOARD_OBJECT* hbrd = Open("writer", "w");
    ASSERT_NE(hbrd, nullptr);
    uint32_t cItems = Count(hbrd, DB_ITEMREC), cHeaders = Count(hbrd, DB_VARSTRINGREC),
             cEntries = Count(hbrd, DB_CHANGEENTRYREC), cFolders = Count(hbrd, DB_FOLDERREC),
             cAttach = Count(hbrd, DB_ATTACHREC);
    DB_ITEM item;
    InitFolderItem(&item, "orphan", "", 3, 0);
    item.item.itemparentid = 0x7FFFFFF0;  // no such parent
    item.vsiNote.value = Pattern(700);
    item.vsiKeywords.value = "kw";
    item.attach.atttype = 1;
    std::strcpy(item.attach.attnamepath, "/x");
    EXPECT_EQ(ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBNotFound);
    EXPECT_EQ(Count(hbrd, DB_ITEMREC), cItems);
    EXPECT_EQ(Count(hbrd, DB_VARSTRINGREC), cHeaders);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries);
    EXPECT_EQ(Count(hbrd, DB_FOLDERREC), cFolders);
    EXPECT_EQ(Count(hbrd, DB_ATTACHREC), cAttach);
    EXPECT_EQ(Count(hbrd, DB_SMALLVAR) + Count(hbrd, DB_LARGEDATA) + Count(hbrd, DB_SMALLDATA) +
                  Count(hbrd, DB_LARGEVAR),
              0u);
    // The caller's item is as it was: a retry with a real parent works.
    item.item.itemparentid = 1;
    EXPECT_EQ(ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries + 1);
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

// A notifier that asks for a data string over an address that holds nothing: the entry cannot be
// written, so the write it belongs to fails after its texts and record were already written.
static int BrokenDataNotifier(DB_CHANGEINFO* pChange, DB_ITEM* pItem, unsigned short wKind,
                              BOARD_OBJECT* hbrd) {
    ChangeEntryNotifier(pChange, pItem, wKind, hbrd);
    pChange->data.value = "data";
    pChange->data.dba = 0x7FFFFF;
    pChange->data.stamp = 1;
    return 1;
}

TEST_F(StoreTest, AFailedWriteRollsBackAndTheCopyCanBeWrittenAgain) {
    BOARD_OBJECT* hbrd = Open("writer", "w");
    ASSERT_NE(hbrd, nullptr);
    DB_ITEM item;
    InitFolderItem(&item, "folder", "", 3, 0);
    item.item.itemparentid = 1;
    ASSERT_EQ(ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    uint32_t cHeaders = Count(hbrd, DB_VARSTRINGREC), cEntries = Count(hbrd, DB_CHANGEENTRYREC),
             cSmall = Count(hbrd, DB_SMALLVAR) + Count(hbrd, DB_LARGEVAR);

    std::strcpy(item.item.itemname, "renamed");
    item.vsiNote.value = Pattern(300);
    item.dwFieldFlags = 0;
    EXPECT_NE(ItemWrite(hbrd->pdb, &item, BrokenDataNotifier, hbrd), DBSuccess);
    EXPECT_FALSE(hbrd->pdb->InTransaction());
    EXPECT_EQ(Count(hbrd, DB_VARSTRINGREC), cHeaders);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries);
    EXPECT_EQ(Count(hbrd, DB_SMALLVAR) + Count(hbrd, DB_LARGEVAR), cSmall);
    DB_ITEM stored;
    ASSERT_EQ(ItemFindByID(hbrd->pdb, item.item.itemid, &stored), DBSuccess);
    EXPECT_STREQ(stored.item.itemname, "folder");
    EXPECT_TRUE(stored.vsiNote.value.empty());

    // The caller's copy still names what is stored: the same change goes through on a retry.
    std::strcpy(item.item.itemname, "renamed");
    item.vsiNote.value = Pattern(300);
    ASSERT_EQ(ItemWrite(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Count(hbrd, DB_CHANGEENTRYREC), cEntries + 1);
    ASSERT_EQ(ItemFindByID(hbrd->pdb, item.item.itemid, &stored), DBSuccess);
    EXPECT_STREQ(stored.item.itemname, "renamed");
    EXPECT_EQ(stored.vsiNote.value, Pattern(300));
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

static qn::dbms::db_changeentryrec LastEntry(BOARD_OBJECT* hbrd) {
    qn::dbms::db_changeentryrec e{};
    CStoreRead read(hbrd->pdb, Packet({DB_CHANGEENTRYREC}, 'r'));
    EXPECT_EQ(read.Status(), DBSuccess);
    EXPECT_EQ(hbrd->pdb->ScanLast(DB_CHANGEENTRYREC), 0);
    EXPECT_EQ(hbrd->pdb->Read(&e), 0);
    return e;
}

TEST_F(StoreTest, ModifiedEntriesAreAttributedToTheItemsLastModifier) {
    BOARD_OBJECT* hbrd = Open("writer", "w");
    ASSERT_NE(hbrd, nullptr);
    uint16_t wWriter = hbrd->hCurrentUser->holder.rec.userid;
    DB_ITEM item;
    InitFolderItem(&item, "folder", "", 3, 0);
    item.item.itemparentid = 1;
    ASSERT_EQ(ItemCreate(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    EXPECT_EQ(Copy(LastEntry(hbrd).changeuserid), wWriter);
    EXSM_STATUS st;
    EXBoardRefresh(hbrd, &st);
    Recorder rec;
    ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
    ITEM_ITERATOR* pList =
        EXFolderGetItems(hbrd, hRoot, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ASSERT_NE(pList, nullptr);

    // A write as the system: the entry names user 1 and comes back to the writing process.
    std::strcpy(item.item.itemname, "as system");
    item.item.uidlastmodified = 1;
    item.dwFieldFlags = 0x1;
    ASSERT_EQ(ItemWrite(hbrd->pdb, &item, ChangeEntryNotifier, hbrd), DBSuccess);
    qn::dbms::db_changeentryrec e = LastEntry(hbrd);
    EXPECT_EQ(Copy(e.changekind), EX_CHANGE_MODIFIED);
    EXPECT_EQ(Copy(e.changeuserid), 1);
    // The writer drops what it queued and takes the change from the log like everyone else.
    EXNotifyDiscardDeferred(hbrd);
    EXBoardRefresh(hbrd, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    // The change (after the unread mark it brings, announced as flags 0x4000 alone).
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0].dwArgument, EX_FIELD_UNREADONLY);
    EXPECT_EQ(rec.calls[1].wKind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(rec.calls[1].dwArgument, EX_FIELD_ITEM);
    EXPECT_EQ(rec.calls[1].strName, "as system");

    // EXBoardSetInfo writes the root as the current user: its entry is skipped by our own reading.
    EX_BOARDINFO info{};
    EXBoardGetInfo(hbrd, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXBoardSetInfo(hbrd, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    e = LastEntry(hbrd);
    EXPECT_EQ(Copy(e.changeitemid), 1u);
    EXPECT_EQ(Copy(e.changeuserid), wWriter);
    size_t cCalls = rec.calls.size();
    EXBoardRefresh(hbrd, &st);
    EXPECT_EQ(rec.calls.size(), cCalls);
    QNGlobalFree(reinterpret_cast<QNHGLOBAL>(info.hName));
    EXItemIteratorRelease(pList, 1);
    EXItemRelease(hRoot, &st);
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, PartlyHeldPacketsTakeTheMissingLocks) {
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    CDbContext* pdb = hbrd->pdb;
    ASSERT_EQ(pdb->Begin("Partial"), 0);
    ASSERT_EQ(pdb->LockOne(DB_USERREC, 'r'), 0);
    std::vector<LockEntry> packet = {{DB_USERREC, 'w'}, {DB_GROUPREC, 'w'}, {DBS_USERS, 'r'}};
    EXPECT_EQ(RequestLocks(pdb, packet), DBSuccess);
    char ch = 'f';
    pdb->LockState(DB_USERREC, &ch);
    EXPECT_EQ(ch, 'w');
    pdb->LockState(DB_GROUPREC, &ch);
    EXPECT_EQ(ch, 'w');
    pdb->LockState(DBS_USERS, &ch);
    EXPECT_EQ(ch, 'r');
    EXPECT_EQ(pdb->Abort(), 0);
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}

TEST_F(StoreTest, LongChangesCommitAfterThePauseInterval) {
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    CDbContext* pdb = hbrd->pdb;
    std::vector<LockEntry> packet = {{DB_CHANGEENTRYREC, 'w'}};
    ASSERT_EQ(pdb->Begin("ItemDestroyTree"), 0);
    ASSERT_EQ(pdb->LockPacket(packet.data(), packet.size()), 0);
    CTransactionPause pause(pdb, "ItemDestroyTree", packet);
    EXPECT_EQ(pause.Check(), S_OKAY);
    EXPECT_EQ(pause.Pauses(), 0);
    ::usleep(4100 * 1000);
    EXPECT_EQ(pause.Check(), S_OKAY);
    EXPECT_EQ(pause.Pauses(), 1);
    EXPECT_TRUE(pdb->InTransaction());
    char ch = 'f';
    pdb->LockState(DB_CHANGEENTRYREC, &ch);
    EXPECT_EQ(ch, 'w');
    EXPECT_EQ(pdb->End(), 0);
    EXSM_STATUS st;
    EXBoardClose(hbrd, &st);
}
