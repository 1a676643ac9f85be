// Tree operations on real catalogs and between real processes: the destroy with its order of
// entries and its slices, the deep copy field by field, moves and their refusals, folder
// memberships, to-folder, and bad handles.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "item_helpers.h"
#include "trees.h"

using namespace cstest;
using namespace catstore;
using Names_t = std::vector<std::string>;
using qn::dbms::db_changeentryrec;

namespace {

class TreeTest : public CatalogTest {
  protected:
    void SetUp() override {
        MakeCatalog();
        EXSM_STATUS st;
        m_hbrd = Open();
        ASSERT_NE(m_hbrd, nullptr);
        ASSERT_NE(AddUser(m_hbrd, "other", "o"), 0);
        m_hRoot = EXBoardGetRootFolder(m_hbrd);
        ASSERT_NE(m_hRoot, nullptr);
        // The tests' own top folder: the root holds the built-in folders too.
        m_hTop = NewItem(m_hbrd, m_hRoot, "Top", 4, &st);
        ASSERT_NE(m_hTop, nullptr) << EXStatusText(st);
    }
    void TearDown() override {
        EXSM_STATUS st;
        if (m_hbrd != nullptr) {
            EXBoardClose(m_hbrd, &st);
        }
    }
    bool AsOther(const std::function<bool(BOARD_OBJECT*)>& fn) {
        return InOtherProcess(m_strPath, "other", "o", fn);
    }
    // The address of the last change entry: entries after it are the ones to come.
    catstore::DBA LogEnd() {
        catstore::CStoreRead read(m_hbrd->pdb, catstore::Packet({DB_CHANGEENTRYREC}, 'r'));
        catstore::DBA dba = 0;
        if (m_hbrd->pdb->ScanLast(DB_CHANGEENTRYREC) == S_OKAY) {
            m_hbrd->pdb->CurrentDba(&dba);
        }
        return dba;
    }
    std::vector<db_changeentryrec> EntriesAfter(catstore::DBA dbaFrom) {
        catstore::CDbContext* pdb = m_hbrd->pdb;
        catstore::CStoreRead read(pdb, catstore::Packet({DB_CHANGEENTRYREC}, 'r'));
        std::vector<db_changeentryrec> v;
        int rc = dbaFrom == 0 ? pdb->ScanFirst(DB_CHANGEENTRYREC) : pdb->MakeCurrent(dbaFrom);
        if (rc == S_OKAY && dbaFrom != 0) {
            rc = pdb->ScanSet(DB_CHANGEENTRYREC) == S_OKAY ? pdb->ScanNext(DB_CHANGEENTRYREC)
                                                           : S_NOTFOUND;
        }
        for (; rc == S_OKAY; rc = pdb->ScanNext(DB_CHANGEENTRYREC)) {
            db_changeentryrec e{};
            pdb->Read(&e);
            v.push_back(e);
        }
        return v;
    }
    // The ids of a folder's items in name order.
    std::vector<uint32_t> ChildIDs(ITEM_OBJECT* hFolder) {
        EXSM_STATUS st;
        ITEM_ITERATOR* p = EXFolderGetItems(m_hbrd, hFolder, 1, EX_SORT_NAME, nullptr, 0, &st);
        std::vector<uint32_t> v;
        for (ITEM_OBJECT* h = EXItemIteratorFirst(p); h != nullptr; h = EXItemIteratorNext(p)) {
            v.push_back(IdOf(h));
        }
        EXItemIteratorRelease(p, 1);
        return v;
    }
    bool Exists(uint32_t dwID) { return catstore::ItemExists(m_hbrd->pdb, dwID) == DBSuccess; }

    BOARD_OBJECT* m_hbrd = nullptr;
    ITEM_OBJECT* m_hRoot = nullptr;
    ITEM_OBJECT* m_hTop = nullptr;
};

std::vector<NotifierCall> Kind(const Recorder& rec, uint16_t wKind) {
    std::vector<NotifierCall> v;
    for (const NotifierCall& c : rec.calls) {
        if (c.wKind == wKind) {
            v.push_back(c);
        }
    }
    return v;
}

}  // namespace

TEST_F(TreeTest, DestroyingAFolderWritesOneDestroyedEntryPerItemChildrenFirstInNameOrder) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    ITEM_OBJECT* hB = NewItem(m_hbrd, hF, "b-sub", 4);
    ITEM_OBJECT* hA = NewItem(m_hbrd, hF, "a-sub", 4);
    ITEM_OBJECT* hC = NewItem(m_hbrd, hF, "c");
    ITEM_OBJECT* hY = NewItem(m_hbrd, hB, "y");
    ITEM_OBJECT* hX = NewItem(m_hbrd, hB, "x");
    ITEM_OBJECT* hZ = NewItem(m_hbrd, hA, "z");
    ITEM_OBJECT* hKeep = NewItem(m_hbrd, m_hTop, "keep");
    ASSERT_NE(hKeep, nullptr);
    const std::vector<uint32_t> expected = {IdOf(hZ), IdOf(hA), IdOf(hX), IdOf(hY),
                                            IdOf(hB), IdOf(hC), IdOf(hF)};
    const uint32_t dwF = IdOf(hF), dwA = IdOf(hA);
    // This process holds lists of the root, of F and of a-sub and a handle on z.
    Recorder recRoot, recF, recA, recZ;
    ITEM_ITERATOR* pRoot =
        EXFolderGetItems(m_hbrd, m_hTop, 1, EX_SORT_NAME, RecordCall, recRoot.Value(), &st);
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, hF, 1, EX_SORT_NAME, RecordCall, recF.Value(), &st);
    ITEM_ITERATOR* pA =
        EXFolderGetItems(m_hbrd, hA, 1, EX_SORT_NAME, RecordCall, recA.Value(), &st);
    ITEM_OBJECT* hWatchZ = EXItemAcquire(hZ, RecordCall, recZ.Value(), &st);
    ASSERT_EQ(Names(pF), (Names_t{"a-sub", "b-sub", "c"}));
    const catstore::DBA dbaLog = LogEnd();

    // Another process destroys F through a handle of its own.
    ASSERT_TRUE(AsOther([&](BOARD_OBJECT* h) {
        EXSM_STATUS s;
        ITEM_OBJECT* hItem = FindItem(h, dwF);
        return EXItemDestroy(hItem, &s) == nullptr && s == EXSM_SUCCESS;
    }));
    std::vector<db_changeentryrec> entries = EntriesAfter(dbaLog);
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].changekind, EX_CHANGE_DESTROYED) << i;
        EXPECT_EQ(entries[i].changeitemid, expected[i]) << i;
        EXPECT_EQ(entries[i].changefields, 0xFFFFFFFFu) << i;
    }
    for (uint32_t dwID : expected) {
        EXPECT_FALSE(Exists(dwID));
    }
    EXPECT_TRUE(Exists(IdOf(hKeep)));

    // Here the lists lose them at the refresh, and the handle on z hears it.
    EXBoardRefresh(m_hbrd, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Names(pRoot), (Names_t{"keep"}));
    EXPECT_EQ(Names(pF), Names_t{});
    EXPECT_EQ(Names(pA), Names_t{});
    ASSERT_EQ(Kind(recRoot, EX_CHANGE_DESTROYED).size(), 1u);
    EXPECT_EQ(Kind(recRoot, EX_CHANGE_DESTROYED)[0].strName, "F");
    // Each list hears of its items and of its own folder.
    EXPECT_EQ(Kind(recF, EX_CHANGE_DESTROYED).size(), 4u);
    EXPECT_EQ(Kind(recA, EX_CHANGE_DESTROYED).size(), 2u);
    EXPECT_EQ(Kind(recZ, EX_CHANGE_DESTROYED).size(), 1u);
    EX_ITEMINFO info{};
    EXItemGetInfo(hWatchZ, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);  // orphaned
    EXPECT_FALSE(Exists(dwA));
    EXItemIteratorRelease(pRoot, 1);
    EXItemIteratorRelease(pF, 1);
    EXItemIteratorRelease(pA, 1);
}

TEST_F(TreeTest, OwnDestroyFreesTheHandleAndTheListsHearIt) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    NewItem(m_hbrd, hF, "a");
    Recorder recRoot;
    ITEM_ITERATOR* pRoot =
        EXFolderGetItems(m_hbrd, m_hTop, 1, EX_SORT_NAME, RecordCall, recRoot.Value(), &st);
    ASSERT_EQ(Names(pRoot), (Names_t{"F"}));
    // A handle of the list itself: the list frees it with its slot.
    ITEM_OBJECT* hListed = EXItemIteratorFirst(pRoot);
    EXPECT_EQ(EXItemDestroy(hListed, &st), nullptr);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Names(pRoot), Names_t{});
    EXPECT_EQ(Kind(recRoot, EX_CHANGE_DESTROYED).size(), 1u);
    // The application's handle on F was orphaned by the delivery.
    EX_ITEMINFO info{};
    EXItemGetInfo(hF, &info, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemIteratorRelease(pRoot, 1);
}

TEST_F(TreeTest, ALongDestroyCommitsInSlicesAndAnotherProcessTakesItsTurnBetweenThem) {
    EXSM_STATUS st;
    constexpr int N = 300;
    ITEM_OBJECT* hT = NewItem(m_hbrd, m_hTop, "T", 4);
    ITEM_OBJECT* hO = NewItem(m_hbrd, m_hTop, "O", 4);
    for (int i = 0; i < N; ++i) {
        char ach[16];
        std::snprintf(ach, sizeof ach, "i%03d", i);
        ASSERT_NE(NewItem(m_hbrd, hT, ach), nullptr);
    }
    const uint32_t dwO = IdOf(hO), dwT = IdOf(hT);
    const std::string strReady = m_dir.file("ready"), strDone = m_dir.file("done");
    const catstore::DBA dbaLog = LogEnd();
    // The other process writes while the destroy runs, until it is done.
    pid_t pid = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h = EXBoardOpen(m_strPath.c_str(), "other", "o", 1, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10;
        }
        ITEM_OBJECT* hFolder = FindItem(h, dwO);
        qn::test::WriteFile(strReady, "1");
        for (int i = 0; i < 2000 && ::access(strDone.c_str(), F_OK) != 0; ++i) {
            if (NewItem(h, hFolder, "w") == nullptr) {
                break;
            }
        }
        EXBoardClose(h, &s);
        return 0;
    });
    while (::access(strReady.c_str(), F_OK) != 0) {
        ::usleep(1000);
    }
    catstore::SetDestroySlice(1, 2);
    ITEM_OBJECT* hRet = EXItemDestroy(hT, &st);
    catstore::SetDestroySlice(1000, 3);
    qn::test::WriteFile(strDone, "1");
    ASSERT_EQ(qn::test::WaitChild(pid), 0);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(hRet, nullptr);

    // The other process's entries lie between the destroy's first and last.
    std::vector<db_changeentryrec> entries = EntriesAfter(dbaLog);
    size_t iFirst = entries.size(), iLast = 0, cDestroyed = 0, cBetween = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].changekind == EX_CHANGE_DESTROYED) {
            iFirst = std::min(iFirst, i);
            iLast = i;
            ++cDestroyed;
        }
    }
    for (size_t i = iFirst; i < iLast; ++i) {
        cBetween += entries[i].changekind == EX_CHANGE_CREATED ? 1 : 0;
    }
    EXPECT_EQ(cDestroyed, size_t(N + 1));
    EXPECT_GT(cBetween, 0u);
    EXPECT_EQ(entries[iLast].changeitemid, dwT);  // the folder last
}

TEST_F(TreeTest, ACopiedTreeMatchesItsSourceFieldByFieldExceptIdsOwnerAndModifier) {
    EXSM_STATUS st;
    const uint16_t wOwner = AddUser(m_hbrd, "owner", "p");
    ASSERT_NE(wOwner, 0);
    ITEM_OBJECT* hTarget = NewItem(m_hbrd, m_hTop, "Target", 4);
    // The source: a folder with a full item and a sub-folder with folder fields and an item.
    EX_ITEMINFO info{};
    info.type = 4;
    std::strcpy(info.itemname, "S");
    info.uidowner = wOwner;
    info.itemaccesslevel = 1;
    ITEM_OBJECT* hS = EXItemNew(&st, &info);
    EXItemObjectSetFolder(hS)->foldertype = 3;
    EXItemCreate(m_hbrd, m_hTop, hS, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    info = EX_ITEMINFO{};
    info.type = 1;
    std::strcpy(info.itemname, "full");
    std::strcpy(info.itemdescription, "description");
    info.attributes = 0x0011 | EX_ATTR_REFERENCED;
    info.uidowner = wOwner;
    info.uidresponsible = 7;
    info.duedate = 1234;
    info.status = 5;
    info.itemaccesslevel = 4;  // seen by everyone
    info.itemaccessgrouporuserid = 9;
    info.pszNote = "the note";
    info.pszExtendedInfo = "extended";
    info.pszInstructions = "instructions";
    info.pszKeywords = "k1 k2";
    info.pszSubscribers = "subs";
    info.atttype = 2;
    info.attnameresourceid = 4;
    std::strcpy(info.attnamepath, "http://example.org/a");
    info.attinfosize = 77;
    info.repositorytype = 1;
    info.repositorysize = 99;
    info.blobReposLocation = {8, "location"};
    info.blobReposPolicy = {6, "policy"};
    info.blobReposPrivate = {7, "private"};
    ITEM_OBJECT* hFull = EXItemNew(&st, &info);
    EXItemCreate(m_hbrd, hS, hFull, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    ITEM_OBJECT* hSub = NewItem(m_hbrd, hS, "sub", 4);
    EXItemObjectSetFolder(hSub)->folderupdateinterval = 60;
    EXItemObjectSetItemFieldFlags(hSub, 0x00048000u);
    EXItemSetInfo(hSub, 0, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    NewItem(m_hbrd, hSub, "inner");
    const uint32_t dwS = IdOf(hS), dwTarget = IdOf(hTarget);
    EXBoardClose(m_hbrd, &st);
    m_hbrd = nullptr;

    // The copier is another user.
    BOARD_OBJECT* hbrd = Open("other", "o", &st);
    ASSERT_NE(hbrd, nullptr);
    std::swap(m_hbrd, hbrd);
    const uint16_t wCopier = catstore::CurrentUserID(m_hbrd);
    ITEM_OBJECT* hSrc = FindItem(m_hbrd, dwS);
    ITEM_OBJECT* hTgt = FindItem(m_hbrd, dwTarget);
    const catstore::DBA dbaLog = LogEnd();
    EXItemCopy(hSrc, hTgt, &st);
    ASSERT_EQ(st, EXSM_SUCCESS) << EXStatusText(st);

    // Walk both trees side by side.
    struct Pair {
        uint32_t first, second, dwCopyParent;  // source, copy, the copy's expected parent
    };
    std::vector<Pair> pairs;
    std::vector<uint32_t> copies = ChildIDs(hTgt);
    ASSERT_EQ(copies.size(), 1u);
    pairs.push_back({IdOf(hSrc), copies[0], IdOf(hTgt)});
    for (size_t i = 0; i < pairs.size(); ++i) {
        ITEM_OBJECT* a = FindItem(m_hbrd, pairs[i].first);
        ITEM_OBJECT* b = FindItem(m_hbrd, pairs[i].second);
        std::vector<uint32_t> ca = ChildIDs(a), cb = ChildIDs(b);
        ASSERT_EQ(ca.size(), cb.size());
        for (size_t k = 0; k < ca.size(); ++k) {
            pairs.push_back({ca[k], cb[k], pairs[i].second});
        }
        EX_ITEMINFO x{}, y{};
        EXItemGetInfo(a, &x, &st);
        EXItemGetInfo(b, &y, &st);
        SCOPED_TRACE(x.itemname);
        EXPECT_NE(y.itemid, x.itemid);
        EXPECT_EQ(y.uidowner, 0);
        EXPECT_EQ(y.uidlastmodified, wCopier);
        EXPECT_EQ(y.attributes, x.attributes & ~EX_ATTR_REFERENCED);
        EXPECT_EQ(y.itemparentid, pairs[i].dwCopyParent);
        EXPECT_EQ(y.type, x.type);
        EXPECT_STREQ(y.itemname, x.itemname);
        EXPECT_STREQ(y.itemdescription, x.itemdescription);
        EXPECT_EQ(y.uidresponsible, x.uidresponsible);
        EXPECT_EQ(y.duedate, x.duedate);
        EXPECT_EQ(y.status, x.status);
        EXPECT_EQ(y.itemaccesslevel, x.itemaccesslevel);
        EXPECT_EQ(y.itemaccessgrouporuserid, x.itemaccessgrouporuserid);
        for (auto [p, q] : {std::pair{x.pszNote, y.pszNote},
                            {x.pszExtendedInfo, y.pszExtendedInfo},
                            {x.pszInstructions, y.pszInstructions},
                            {x.pszKeywords, y.pszKeywords},
                            {x.pszSubscribers, y.pszSubscribers}}) {
            EXPECT_STREQ(q, p);
        }
        EXPECT_EQ(y.atttype, x.atttype);
        EXPECT_EQ(y.attnameresourceid, x.attnameresourceid);
        EXPECT_EQ(y.attnamecrc, x.attnamecrc);
        EXPECT_STREQ(y.attnamepath, x.attnamepath);
        EXPECT_EQ(y.attinfosize, x.attinfosize);
        EXPECT_EQ(y.repositorytype, x.repositorytype);
        EXPECT_EQ(y.repositorysize, x.repositorysize);
        EXPECT_EQ(y.repositorylocationcrc, x.repositorylocationcrc);
        for (auto [p, q] : {std::pair{x.blobReposLocation, y.blobReposLocation},
                            {x.blobReposPolicy, y.blobReposPolicy},
                            {x.blobReposPrivate, y.blobReposPrivate}}) {
            ASSERT_EQ(q.cbData, p.cbData);
            EXPECT_EQ(std::memcmp(q.pbData, p.pbData, p.cbData), 0);
        }
        EXPECT_EQ(y.foldertype, x.foldertype);
        EXPECT_EQ(y.folderupdateinterval, x.folderupdateinterval);
        // Its own records: nothing stored is shared with the source.
        DB_ITEM sa = StoredItem(m_hbrd, x.itemid), sb = StoredItem(m_hbrd, y.itemid);
        EXPECT_TRUE(sb.item.folderstruct == 0 || sb.item.folderstruct != sa.item.folderstruct);
        EXPECT_TRUE(sb.attach.attrepository == 0 ||
                    sb.attach.attrepository != sa.attach.attrepository);
        EXPECT_TRUE(sb.item.itemnote == 0 || sb.item.itemnote != sa.item.itemnote);
    }
    ASSERT_EQ(pairs.size(), 4u);

    // One Created entry per copy, parents before children, attributed to the copier.
    std::vector<db_changeentryrec> entries = EntriesAfter(dbaLog);
    ASSERT_EQ(entries.size(), 4u);
    std::vector<uint32_t> seen = {IdOf(hTgt)};
    for (const db_changeentryrec& e : entries) {
        EXPECT_EQ(e.changekind, EX_CHANGE_CREATED);
        EXPECT_EQ(e.changeuserid, wCopier);
        EXPECT_NE(std::find(seen.begin(), seen.end(), e.changeparentid), seen.end());
        seen.push_back(e.changeitemid);
    }

    // Destroying the source leaves the copy whole, its repository strings included.
    EXPECT_EQ(EXItemDestroy(hSrc, &st), nullptr);
    ASSERT_EQ(st, EXSM_SUCCESS);
    DB_ITEM copy = StoredItem(m_hbrd, pairs[1].second);
    EXPECT_EQ(copy.vsiReposLocation.value, "location");
    EXPECT_EQ(copy.vsiReposPrivate.value, "private");
    EXPECT_EQ(copy.vsiNote.value, "the note");
    std::swap(m_hbrd, hbrd);
    EXBoardClose(hbrd, &st);
    m_hbrd = Open();
}

TEST_F(TreeTest, ACopyIntoItsOwnSubtreeCopiesTheSubtreeAsItWas) {
    EXSM_STATUS st;
    ITEM_OBJECT* hS = NewItem(m_hbrd, m_hTop, "S", 4);
    ITEM_OBJECT* hIn = NewItem(m_hbrd, hS, "in", 4);
    NewItem(m_hbrd, hIn, "leaf");
    NewItem(m_hbrd, hS, "z");
    EXItemCopy(hS, hIn, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    // "in" now holds leaf and a copy of S with in (leaf) and z: four items more, no loop.
    std::vector<uint32_t> kids = ChildIDs(hIn);
    ASSERT_EQ(kids.size(), 2u);
    ITEM_OBJECT* hCopy = FindItem(m_hbrd, kids[1]);
    EXPECT_EQ(NameOf(hCopy), "S");
    std::vector<uint32_t> copyKids = ChildIDs(hCopy);
    ASSERT_EQ(copyKids.size(), 2u);
    ITEM_OBJECT* hCopyIn = FindItem(m_hbrd, copyKids[0]);
    EXPECT_EQ(NameOf(hCopyIn), "in");
    EXPECT_EQ(ChildIDs(hCopyIn).size(), 1u);  // leaf only: not the copy being made
}

TEST_F(TreeTest, CopyAndMoveRefusalsChangeNothing) {
    EXSM_STATUS st;
    ITEM_OBJECT* hA = NewItem(m_hbrd, m_hTop, "A", 4);
    ITEM_OBJECT* hChild = NewItem(m_hbrd, hA, "child", 4);
    ITEM_OBJECT* hGrand = NewItem(m_hbrd, hChild, "grand", 4);
    ITEM_OBJECT* hPlain = NewItem(m_hbrd, m_hTop, "plain");
    const catstore::DBA dbaLog = LogEnd();
    struct Case {
        const char* pszWhat;
        ITEM_OBJECT* hTarget;
    } aCases[] = {{"to a non-folder", hPlain},
                  {"to itself", hA},
                  {"below itself", hChild},
                  {"two below itself", hGrand}};
    for (const Case& c : aCases) {
        SCOPED_TRACE(c.pszWhat);
        EXItemSetParent(hA, c.hTarget, &st);
        EXPECT_EQ(st, EXSM_FOLDER_REQUIRED);
        EXFolderAddItem(c.hTarget, hA, &st);
        EXPECT_EQ(st, EXSM_FOLDER_REQUIRED);
        EXPECT_EQ(StoredItem(m_hbrd, IdOf(hA)).item.itemparentid, IdOf(m_hTop));
    }
    EXItemCopy(hA, hPlain, &st);
    EXPECT_EQ(st, EXSM_FOLDER_REQUIRED);
    EXPECT_EQ(ChildIDs(m_hTop).size(), 2u);
    EXPECT_EQ(ChildIDs(hA), std::vector<uint32_t>{IdOf(hChild)});
    EXPECT_TRUE(EntriesAfter(dbaLog).empty());
    // The item is still where it was and can still be written.
    EXPECT_EQ(Rename(hA, "A2"), EXSM_SUCCESS);
}

TEST_F(TreeTest, AMoveChangesTheListsWritesItsEntriesAndKeepsTheHandleWritable) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    ITEM_OBJECT* hG = NewItem(m_hbrd, m_hTop, "G", 4);
    ITEM_OBJECT* hM = NewItem(m_hbrd, hF, "m", 4);
    Recorder recF, recG;
    ITEM_ITERATOR* pF =
        EXFolderGetItems(m_hbrd, hF, 1, EX_SORT_NAME, RecordCall, recF.Value(), &st);
    ITEM_ITERATOR* pG =
        EXFolderGetItems(m_hbrd, hG, 1, EX_SORT_NAME, RecordCall, recG.Value(), &st);
    ITEM_ITERATOR* pGFolders = EXFolderGetFolders(m_hbrd, hG, 1, EX_SORT_NAME, 0, nullptr, 0, &st);
    ASSERT_EQ(Names(pF), (Names_t{"m"}));
    const catstore::DBA dbaLog = LogEnd();
    EXItemSetParent(hM, hG, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Names(pF), Names_t{});
    EXPECT_EQ(Names(pG), (Names_t{"m"}));
    EXPECT_EQ(Names(pGFolders), (Names_t{"m"}));
    EXPECT_EQ(Kind(recF, EX_CHANGE_MODIFIED).size(), 1u);
    EXPECT_EQ(Kind(recG, EX_CHANGE_CREATED).size(), 1u);
    std::vector<db_changeentryrec> entries = EntriesAfter(dbaLog);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].changekind, EX_CHANGE_MODIFIED);
    EXPECT_EQ(entries[0].changefields, EX_FIELD_PARENT);
    EXPECT_EQ(entries[0].changeparentid, IdOf(hG));
    EXPECT_EQ(entries[1].changekind, EX_CHANGE_CREATED);
    EXPECT_EQ(StoredItem(m_hbrd, IdOf(hM)).item.itemparentid, IdOf(hG));
    EXPECT_EQ(Rename(hM, "m2"), EXSM_SUCCESS);

    // Folder remove takes it out of its folder, and add puts it back; it stays in DBS_ITEMS.
    EXFolderRemoveItem(hG, hM, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_TRUE(ChildIDs(hG).empty());
    EXPECT_TRUE(Exists(IdOf(hM)));
    EXFolderAddItem(hF, hM, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(ChildIDs(hF), std::vector<uint32_t>{IdOf(hM)});
    EXPECT_EQ(Rename(hM, "m3"), EXSM_SUCCESS);

    // A handle older than the stored record is refused.
    const uint32_t dwM = IdOf(hM);
    ASSERT_TRUE(AsOther([&](BOARD_OBJECT* h) { return Rename(FindItem(h, dwM), "mm") == 0; }));
    EXItemSetParent(hM, hG, &st);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    EXPECT_EQ(StoredItem(m_hbrd, dwM).item.itemparentid, IdOf(hF));
    EXItemIteratorRelease(pF, 1);
    EXItemIteratorRelease(pG, 1);
    EXItemIteratorRelease(pGFolders, 1);
}

TEST_F(TreeTest, ToFolderShowsTheItemAnewAndTheHandleGoesOnAsAFolder) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    ITEM_OBJECT* hI = NewItem(m_hbrd, hF, "item");
    Recorder rec;
    ITEM_ITERATOR* pItems =
        EXFolderGetItems(m_hbrd, hF, 1, EX_SORT_NAME, RecordCall, rec.Value(), &st);
    ITEM_ITERATOR* pFolders = EXFolderGetFolders(m_hbrd, hF, 1, EX_SORT_NAME, 0, nullptr, 0, &st);
    ASSERT_EQ(Names(pFolders), Names_t{});
    const catstore::DBA dbaLog = LogEnd();
    EXItemToFolder(hI, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(Kind(rec, EX_CHANGE_DESTROYED).size(), 1u);
    EXPECT_EQ(Kind(rec, EX_CHANGE_CREATED).size(), 1u);
    EXPECT_EQ(Names(pItems), (Names_t{"item"}));
    EXPECT_EQ(Names(pFolders), (Names_t{"item"}));
    EX_ITEMINFO info{};
    EXItemGetInfo(hI, &info, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(info.type, 4);
    DB_ITEM stored = StoredItem(m_hbrd, IdOf(hI));
    EXPECT_EQ(stored.item.type, 4);
    EXPECT_NE(stored.item.folderstruct, 0u);
    std::vector<db_changeentryrec> entries = EntriesAfter(dbaLog);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].changekind, EX_CHANGE_DESTROYED);
    EXPECT_EQ(entries[1].changekind, EX_CHANGE_CREATED);
    // Items can go into it, and it can be written; on a folder it does nothing.
    EXPECT_NE(NewItem(m_hbrd, hI, "inside"), nullptr);
    EXPECT_EQ(Rename(hI, "renamed"), EXSM_SUCCESS);
    EXItemToFolder(hI, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EntriesAfter(dbaLog).size(), 4u);  // + the create and the rename
    // An item without a parent cannot become a member of its parent's folder set.
    ITEM_OBJECT* hTop = NewItem(m_hbrd, nullptr, "top");
    ASSERT_NE(hTop, nullptr);
    EXItemToFolder(hTop, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(StoredItem(m_hbrd, IdOf(hTop)).item.type, 1);
    EXItemIteratorRelease(pItems, 1);
    EXItemIteratorRelease(pFolders, 1);
}

TEST_F(TreeTest, DestroyClearsTheSlotsThatNameTheItemsAndTheUserCanStillBeWritten) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    ITEM_OBJECT* hI = NewItem(m_hbrd, hF, "i");
    ITEM_OBJECT* hKeep = NewItem(m_hbrd, m_hTop, "keep");
    EXBoardSetItem(m_hbrd, 9, hI, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    USER_OBJECT* hUser = EXBoardGetCurrentUser(m_hbrd);
    EXUserSetItem(hUser, 12, hF, &st);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXItemDestroy(hF, &st), nullptr);
    ASSERT_EQ(st, EXSM_SUCCESS);
    EXPECT_EQ(EXBoardGetItem(m_hbrd, 9, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXPECT_EQ(EXUserGetItem(hUser, 12, &st), nullptr);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXUserSetItem(hUser, 13, hKeep, &st);
    EXPECT_EQ(st, EXSM_SUCCESS);
    ITEM_OBJECT* hGot = EXUserGetItem(hUser, 13, &st);
    EXPECT_EQ(IdOf(hGot), IdOf(hKeep));
}

TEST_F(TreeTest, BadHandlesAndGoneItemsGiveClearStatuses) {
    EXSM_STATUS st;
    ITEM_OBJECT* hF = NewItem(m_hbrd, m_hTop, "F", 4);
    ITEM_OBJECT* hI = NewItem(m_hbrd, hF, "i");
    // Null handles.
    EXPECT_EQ(EXItemDestroy(nullptr, &st), nullptr);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemToFolder(nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemSetParent(hI, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemCopy(nullptr, hF, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXFolderAddItem(hF, nullptr, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXFolderRemoveItem(nullptr, hI, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    // The root cannot go.
    EXPECT_EQ(EXItemDestroy(m_hRoot, &st), m_hRoot);
    EXPECT_EQ(st, EXSM_ACCESS_DENIED);
    EXPECT_TRUE(Exists(1));

    // A handle older than the stored record: nothing is destroyed.
    const uint32_t dwF = IdOf(hF), dwI = IdOf(hI);
    ASSERT_TRUE(AsOther([&](BOARD_OBJECT* h) { return Rename(FindItem(h, dwF), "F2") == 0; }));
    EXPECT_EQ(EXItemDestroy(hF, &st), hF);
    EXPECT_EQ(st, EXSM_ITEM_HAS_CHANGED);
    EXPECT_TRUE(Exists(dwF));
    EXPECT_TRUE(Exists(dwI));

    // Items another process destroyed: before the refresh the store says so, after it the
    // handles are orphaned.
    ASSERT_TRUE(AsOther([&](BOARD_OBJECT* h) {
        EXSM_STATUS s;
        return EXItemDestroy(FindItem(h, dwF), &s) == nullptr && s == EXSM_SUCCESS;
    }));
    EXPECT_EQ(EXItemDestroy(hI, &st), hI);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXItemCopy(hI, m_hTop, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXItemSetParent(hI, m_hTop, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXItemToFolder(hI, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXFolderAddItem(m_hTop, hI, &st);
    EXPECT_EQ(st, EXSM_DOES_NOT_EXIST);
    EXBoardRefresh(m_hbrd, &st);
    EXPECT_EQ(EXItemDestroy(hI, &st), hI);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXItemCopy(hF, m_hTop, &st);
    EXPECT_EQ(st, EXSM_INVALID_HANDLE);
    EXPECT_EQ(ChildIDs(m_hTop).size(), 0u);
}
