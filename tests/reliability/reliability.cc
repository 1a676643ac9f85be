// The reliability run of the stored catalog.
//
// Kill loop: a writer process does a fixed round of mixed changes (items created and renamed,
// preferences, users, groups, the catalog information) and acknowledges each one on a pipe; it
// is killed at a random moment, and then a checker process looks at the catalog: SQLite's
// integrity check, every acknowledged change present, no user half made, the catalog information
// whole, no stray temporary beside the catalog. Damaged copies: copies of the catalog with bytes
// overwritten, pages zeroed or the file cut short are opened and read in full by a child, which
// must end normally, neither crashing nor hanging.
//
// Usage: reliability [--kills N] [--copies N] [--seed S]
// Prints the figures; exits 1 when anything was lost, torn, hung or crashed.
#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "catstore.h"
#include "testsupport.h"

namespace {

// What a writer's step i does; the schedule is fixed so that the checker knows what the one
// step in flight at the kill may have done.
enum class Op { ItemCreate, Pref, ItemRename, UserCreate, GroupCreate, BoardInfo };
constexpr Op kSchedule[] = {Op::ItemCreate, Op::Pref,        Op::ItemRename,
                            Op::UserCreate, Op::GroupCreate, Op::BoardInfo};
constexpr int kScheduleLength = sizeof kSchedule / sizeof kSchedule[0];

Op OpOf(int i) {
    return kSchedule[i % kScheduleLength];
}

std::string Name(char chKind, int nRound, int i) {
    return chKind + std::to_string(nRound) + "x" + std::to_string(i);
}

// A board-information tag: one number in the name, the policy and the board id.
uint32_t Tag(int nRound, int i) {
    return static_cast<uint32_t>((nRound * 1000 + i) & 0xFFFF);
}

// What the writers have had acknowledged so far.
struct Expected {
    std::map<uint32_t, std::set<std::string>> items;  // id → the names it may have
    std::set<std::string> users;
    std::set<std::string> groups;
    std::set<std::string> prefs;
    std::set<uint32_t> boardTags;  // the catalog information it may show (empty: any)
};

// What one round's writer has had acknowledged, and its step in flight.
struct Round {
    int nRound = 0;
    int nAcked = 0;
    std::map<int, uint32_t> itemOfStep;  // the id each acknowledged create got
};

struct Figures {
    int nKills = 0;
    int nAcked = 0;
    int nLost = 0;
    int nHalfUsers = 0;
    int nWithoutEntry = 0;
    int nTornBoard = 0;
    int nIntegrity = 0;
    int nOpenFailed = 0;
    int nStrayTemporaries = 0;
    int nLeftTemporaries = 0;
    int nHangs = 0;
    int nCrashes = 0;
    int nWriterFailed = 0;
    int nUsers = 0;
};

EX_STRING* Str(const std::string& str) {
    return EXStringCreate(str.c_str());
}

std::string Text(EX_STRING* h) {
    char ach[1024] = {};
    if (h != nullptr) {
        EXStringGetText(h, ach, sizeof ach);
    }
    return ach;
}

void FreeStr(EX_STRING* h) {
    QNGlobalFree(reinterpret_cast<QNHGLOBAL>(h));
}

std::string IntegrityCheck(const std::string& strFile) {
    sqlite3* pDb = nullptr;
    std::string strResult = "cannot open";
    if (sqlite3_open_v2(strFile.c_str(), &pDb, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(pDb, 10000);
        sqlite3_stmt* pStmt = nullptr;
        strResult = "cannot check";
        if (sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStmt, nullptr) == SQLITE_OK &&
            sqlite3_step(pStmt) == SQLITE_ROW) {
            const unsigned char* psz = sqlite3_column_text(pStmt, 0);
            strResult = psz != nullptr ? reinterpret_cast<const char*>(psz) : "";
        }
        sqlite3_finalize(pStmt);
    }
    sqlite3_close(pDb);
    return strResult;
}

std::vector<std::string> FileNames(const std::string& strDir) {
    std::vector<std::string> v;
    if (DIR* pDir = opendir(strDir.c_str())) {
        while (dirent* p = readdir(pDir)) {
            if (p->d_name[0] != '.') {
                v.emplace_back(p->d_name);
            }
        }
        closedir(pDir);
    }
    return v;
}

// ---- Kill loop -----------------------------------------------------------------------------

// The writer: opens as SYSTEM and does the schedule until killed.
int Writer(const std::string& strPath, int nRound, int fdAck) {
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, nullptr, &st);
    if (hbrd == nullptr) {
        return 20;
    }
    uint32_t dwLastItem = 0;
    for (int i = 0;; ++i) {
        uint32_t dwId = 0;
        switch (OpOf(i)) {
            case Op::ItemCreate: {
                EX_ITEMINFO info{};
                info.type = 1;
                std::snprintf(info.itemname, sizeof info.itemname, "%s",
                              Name('i', nRound, i).c_str());
                info.itemaccesslevel = 1;
                ITEM_OBJECT* hItem = EXItemNew(&st, &info);
                ITEM_OBJECT* hRoot = EXBoardGetRootFolder(hbrd);
                EXItemCreate(hbrd, hRoot, hItem, &st);
                dwId = st == EXSM_SUCCESS ? EXItemGetID(hItem) : 0;
                EXSM_STATUS st2;
                EXItemRelease(hItem, &st2);
                EXItemRelease(hRoot, &st2);
                dwLastItem = dwId;
                break;
            }
            case Op::Pref:
                EXPrefsSetString(hbrd, 1, "Harness", Name('p', nRound, i).c_str(), "1");
                st = EXSM_SUCCESS;
                break;
            case Op::ItemRename: {
                ITEM_OBJECT* hItem = EXItemFindByID(hbrd, dwLastItem, nullptr, 0, &st);
                if (hItem != nullptr) {
                    EXItemObjectSetItemName(hItem, Name('r', nRound, i).c_str());
                    EXItemSetInfo(hItem, 0, &st);
                    EXSM_STATUS st2;
                    EXItemRelease(hItem, &st2);
                }
                break;
            }
            case Op::UserCreate: {
                EX_USERINFO info{};
                info.hName = Str(Name('u', nRound, i));
                info.hPassword = Str("pw");
                USER_OBJECT* hUser = EXUserCreate(hbrd, &info, &st);
                FreeStr(info.hName);
                FreeStr(info.hPassword);
                EXSM_STATUS st2;
                EXUserRelease(hUser, &st2);
                break;
            }
            case Op::GroupCreate: {
                EX_GROUPINFO info{};
                info.hName = Str(Name('g', nRound, i));
                GROUP_OBJECT* hGroup = EXGroupCreate(hbrd, &info, &st);
                FreeStr(info.hName);
                EXSM_STATUS st2;
                EXGroupRelease(hGroup, &st2);
                break;
            }
            case Op::BoardInfo: {
                EX_BOARDINFO info{};
                EXBoardGetInfo(hbrd, &info, &st);
                FreeStr(info.hName);
                uint32_t dwTag = Tag(nRound, i);
                info.hName = Str("b" + std::to_string(dwTag));
                info.wAdminPolicy = static_cast<uint16_t>(dwTag);
                info.dwBoardID = dwTag;
                EXBoardSetInfo(hbrd, &info, &st);
                FreeStr(info.hName);
                break;
            }
        }
        if (st != EXSM_SUCCESS) {
            return 21;
        }
        char ach[32];
        int cch = std::snprintf(ach, sizeof ach, "%d %u\n", i, dwId);
        if (write(fdAck, ach, static_cast<size_t>(cch)) != cch) {
            return 22;
        }
    }
}

// The round a name was made in.
int RoundOf(const std::string& strName) {
    return std::atoi(strName.c_str() + 1);
}

// Checks the catalog against what was acknowledged; runs in a child of its own, so that a
// crash or a hang is seen as one. Writes its figures to fdOut. A check that is not full looks
// at the changes of the round just killed only (and at all of the catalog's structure), so that
// the run does not grow with the square of its length.
int Checker(const std::string& strDir, const std::string& strPath, const Expected& expected,
            const Round& round, bool fFull, int fdOut) {
    alarm(120);
    Figures f;
    auto mine = [&](const std::string& strName) {
        return fFull || RoundOf(strName) == round.nRound;
    };
    std::string strIntegrity = IntegrityCheck(strPath);
    f.nIntegrity = strIntegrity == "ok" ? 0 : 1;
    // Temporaries: the fixed one of a writer killed between naming it and the rename is taken
    // by the file's next writer; any other is stray.
    for (const std::string& str : FileNames(strDir)) {
        size_t pos = str.find(".ini.");
        if (pos != std::string::npos) {
            (str.substr(pos) == ".ini.tmp" ? f.nLeftTemporaries : f.nStrayTemporaries) += 1;
        }
    }
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd =
        EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, nullptr, &st);
    if (hbrd == nullptr) {
        f.nOpenFailed = 1;
    } else {
        for (const auto& [dwId, strName] : expected.items) {
            if (!mine(*strName.begin())) {
                continue;
            }
            ITEM_OBJECT* hItem = EXItemFindByID(hbrd, dwId, nullptr, 0, &st);
            char ach[80] = {};
            EXItemGetName(hItem, ach, sizeof ach);
            EXSM_STATUS st2;
            EXItemRelease(hItem, &st2);
            if (strName.count(ach) == 0) {
                ++f.nLost;
                std::fprintf(stderr, "round %d: item %u is \"%s\", not \"%s\"\n", round.nRound,
                             dwId, ach, strName.begin()->c_str());
            }
        }
        std::string strIni = qn::test::ReadFile(strDir + "/cat.ini");
        for (const std::string& strKey : expected.prefs) {
            if (mine(strKey) && strIni.find(strKey + "=1") == std::string::npos) {
                ++f.nLost;
                std::fprintf(stderr, "round %d: preference %s lost\n", round.nRound,
                             strKey.c_str());
            }
        }
        std::set<std::string> users;
        std::vector<std::string> withoutEntry;
        USER_ITERATOR* pUsers = EXBoardGetUsers(hbrd, &st);
        for (USER_OBJECT* h = EXUserIteratorFirst(pUsers); h != nullptr;
             h = EXUserIteratorNext(pUsers)) {
            EX_USERINFO info{};
            EXUserGetInfo(h, &info, &st);
            std::string strName = Text(info.hName);
            for (EX_STRING* hs : {info.hName, info.hDescription, info.hEmailAddr, info.hLongName,
                                  info.hPassword, info.hLocalPassword, info.hSerialNumber}) {
                FreeStr(hs);
            }
            QNGlobalFree(info.hShadowData);
            if (strName == "SYSTEM") {
                continue;
            }
            users.insert(strName);
            ++f.nUsers;
            if (!mine(strName)) {
                continue;
            }
            int nSlots = 0;
            for (int nSlot : {0, 1, 2, 3, 4, 6, 7, 8}) {
                ITEM_OBJECT* hItem = EXUserGetItem(h, nSlot, &st);
                nSlots += hItem != nullptr ? 1 : 0;
                EXSM_STATUS st2;
                EXItemRelease(hItem, &st2);
            }
            f.nHalfUsers += nSlots == 8 ? 0 : 1;
            if (strIni.find("\n" + strName + "=") == std::string::npos) {
                // Only the create in flight may lack it; its first open writes it.
                ++f.nWithoutEntry;
                f.nLost += expected.users.count(strName);
                withoutEntry.push_back(strName);
            }
        }
        EXUserIteratorRelease(pUsers, 0);
        for (const std::string& strName : expected.users) {
            if (mine(strName) && users.count(strName) == 0) {
                ++f.nLost;
                std::fprintf(stderr, "round %d: user %s lost\n", round.nRound, strName.c_str());
            }
        }
        std::set<std::string> groups;
        GROUP_ITERATOR* pGroups = EXBoardGetGroups(hbrd, &st);
        for (GROUP_OBJECT* h = EXGroupIteratorFirst(pGroups); h != nullptr;
             h = EXGroupIteratorNext(pGroups)) {
            EX_GROUPINFO info{};
            EXGroupGetInfo(h, &info, &st);
            groups.insert(Text(info.hName));
            FreeStr(info.hName);
            FreeStr(info.hDescription);
            FreeStr(info.hEmailAddr);
            QNGlobalFree(info.hShadowData);
        }
        EXGroupIteratorRelease(pGroups, 0);
        for (const std::string& strName : expected.groups) {
            if (mine(strName) && groups.count(strName) == 0) {
                ++f.nLost;
                std::fprintf(stderr, "round %d: group %s lost\n", round.nRound, strName.c_str());
            }
        }
        EX_BOARDINFO info{};
        EXBoardGetInfo(hbrd, &info, &st);
        std::string strName = Text(info.hName);
        FreeStr(info.hName);
        if (!expected.boardTags.empty()) {
            uint32_t dwTag = static_cast<uint32_t>(std::strtoul(strName.c_str() + 1, nullptr, 10));
            f.nTornBoard +=
                strName[0] != 'b' || info.wAdminPolicy != dwTag || info.dwBoardID != dwTag ? 1 : 0;
            if (expected.boardTags.count(dwTag) == 0) {
                ++f.nLost;
                std::fprintf(stderr, "round %d: catalog information %u, not %u\n", round.nRound,
                             dwTag, *expected.boardTags.begin());
            }
        }
        EXBoardClose(hbrd, &st);
        for (const std::string& strUser : withoutEntry) {
            hbrd = EXBoardOpen(strPath.c_str(), strUser.c_str(), "pw", EX_OPEN_SHARED, 0, 0, 0,
                               nullptr, &st);
            f.nOpenFailed += hbrd == nullptr ? 1 : 0;
            EXBoardClose(hbrd, &st);
            std::string strAfter = qn::test::ReadFile(strDir + "/cat.ini");
            if (strAfter.find("\n" + strUser + "=") == std::string::npos) {
                ++f.nLost;
                std::fprintf(stderr, "user %s: no configuration entry after its open (%s)\n",
                             strUser.c_str(), hbrd == nullptr ? "open failed" : "opened");
            }
        }
    }
    if (write(fdOut, &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
        return 30;
    }
    return 0;
}

// Runs fn in a child that reports its Figures; a signal or an alarm counts as crash or hang.
Figures RunChecked(const std::function<int(int)>& fn, Figures* pTotal) {
    int afd[2];
    Figures f;
    if (pipe(afd) != 0) {
        ++pTotal->nCrashes;
        return f;
    }
    pid_t pid = qn::test::ForkChild([&]() {
        close(afd[0]);
        return fn(afd[1]);
    });
    close(afd[1]);
    bool fGot = read(afd[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
    close(afd[0]);
    int rc = qn::test::WaitChild(pid);
    if (rc == 128 + SIGALRM) {
        ++pTotal->nHangs;
    } else if (rc != 0 || !fGot) {
        ++pTotal->nCrashes;
    }
    return f;
}

void Add(Figures* pTotal, const Figures& f) {
    pTotal->nLost += f.nLost;
    pTotal->nHalfUsers += f.nHalfUsers;
    pTotal->nWithoutEntry += f.nWithoutEntry;
    pTotal->nTornBoard += f.nTornBoard;
    pTotal->nIntegrity += f.nIntegrity;
    pTotal->nOpenFailed += f.nOpenFailed;
    pTotal->nStrayTemporaries += f.nStrayTemporaries;
    pTotal->nLeftTemporaries += f.nLeftTemporaries;
}

bool MakeCatalog(const std::string& strPath) {
    pid_t pid = qn::test::ForkChild([&]() {
        EX_BOARDINFO info{};
        info.hName = Str("Reliability");
        EXSM_STATUS st;
        BOARD_OBJECT* hbrd =
            EXBoardCreate(strPath.c_str(), "SYSTEM", "", &info, 0, 0, 0, nullptr, &st);
        FreeStr(info.hName);
        if (hbrd == nullptr) {
            return 1;
        }
        EXBoardClose(hbrd, &st);
        return 0;
    });
    return qn::test::WaitChild(pid) == 0;
}

// The figures of each check add up what it saw, so a fault that stays may be counted again by a
// later check; *pLast receives those of the last check (a full one) alone.
Figures KillLoop(const std::string& strDir, const std::string& strPath, int nKills,
                 std::mt19937* pRandom, std::vector<uint32_t>* pItemIds, Figures* pLast) {
    Figures total;
    Expected expected;
    for (int nRound = 0; nRound < nKills; ++nRound) {
        int afd[2];
        if (pipe(afd) != 0) {
            ++total.nCrashes;
            break;
        }
        pid_t pid = qn::test::ForkChild([&]() {
            close(afd[0]);
            return Writer(strPath, nRound, afd[1]);
        });
        close(afd[1]);
        // After the first acknowledgement (the open is done) a random moment of the round.
        std::string strAcks;
        char ach[4096];
        ssize_t cb = read(afd[0], ach, sizeof ach);
        if (cb > 0) {
            strAcks.append(ach, static_cast<size_t>(cb));
            usleep(static_cast<useconds_t>((*pRandom)() % 150000u));
        }
        kill(pid, SIGKILL);
        int rc = qn::test::WaitChild(pid);
        total.nWriterFailed += rc == 128 + SIGKILL ? 0 : 1;
        while ((cb = read(afd[0], ach, sizeof ach)) > 0) {
            strAcks.append(ach, static_cast<size_t>(cb));
        }
        close(afd[0]);
        ++total.nKills;
        Round round;
        round.nRound = nRound;
        std::istringstream in(strAcks);
        int i = 0;
        uint32_t dwId = 0;
        while (in >> i >> dwId) {
            ++round.nAcked;
            switch (OpOf(i)) {
                case Op::ItemCreate:
                    expected.items[dwId] = {Name('i', nRound, i)};
                    round.itemOfStep[i] = dwId;
                    pItemIds->push_back(dwId);
                    break;
                case Op::Pref:
                    expected.prefs.insert(Name('p', nRound, i));
                    break;
                case Op::ItemRename:
                    if (round.itemOfStep.count(i - 2) != 0) {
                        expected.items[round.itemOfStep[i - 2]] = {Name('r', nRound, i)};
                    }
                    break;
                case Op::UserCreate:
                    expected.users.insert(Name('u', nRound, i));
                    break;
                case Op::GroupCreate:
                    expected.groups.insert(Name('g', nRound, i));
                    break;
                case Op::BoardInfo:
                    expected.boardTags = {Tag(nRound, i)};
                    break;
            }
        }
        total.nAcked += round.nAcked;
        // The step in flight at the kill may have committed without its acknowledgement.
        const int iFlight = round.nAcked;
        if (OpOf(iFlight) == Op::ItemRename && round.itemOfStep.count(iFlight - 2) != 0) {
            expected.items[round.itemOfStep[iFlight - 2]].insert(Name('r', nRound, iFlight));
        } else if (OpOf(iFlight) == Op::BoardInfo && !expected.boardTags.empty()) {
            expected.boardTags.insert(Tag(nRound, iFlight));
        }
        Figures f = RunChecked(
            [&](int fd) {
                bool fFull = nRound % 50 == 49 || nRound == nKills - 1;
                return Checker(strDir, strPath, expected, round, fFull, fd);
            },
            &total);
        Add(&total, f);
        *pLast = f;
    }
    return total;
}

// ---- Damaged copies ------------------------------------------------------------------------

// How long a read of a damaged copy may take before it counts as hung.
unsigned g_nCopySeconds = 60;
// Where the copies that crashed or hung are kept for a look ("" keeps none).
std::string g_strKeepDir;
// What the reader of a copy was doing, for the line a hang writes.
const char* volatile g_pszPhase = "";

void OnCopyAlarm(int) {
    const char* pszPhase = g_pszPhase;
    [[maybe_unused]] ssize_t cb = write(2, "copy reader hung in: ", 21);
    cb = write(2, pszPhase, std::strlen(pszPhase));
    cb = write(2, "\n", 1);
    _exit(128 + SIGALRM);
}

bool CopyFile(const std::string& strFrom, const std::string& strTo) {
    std::ifstream in(strFrom, std::ios::binary);
    std::ofstream out(strTo, std::ios::binary);
    out << in.rdbuf();
    return static_cast<bool>(out);
}

// Damages the file in one of four ways; returns what was done.
std::string Damage(const std::string& strFile, std::mt19937* pRandom) {
    std::string strData = qn::test::ReadFile(strFile);
    if (strData.empty()) {
        return "empty";
    }
    std::string strHow;
    size_t cb = strData.size();
    switch ((*pRandom)() % 4) {
        case 0: {  // a few bytes overwritten
            size_t n = 1 + (*pRandom)() % 16;
            for (size_t k = 0; k < n; ++k) {
                strData[(*pRandom)() % cb] = static_cast<char>((*pRandom)() & 0xFF);
            }
            strHow = "bytes";
            break;
        }
        case 1: {  // a page zeroed
            size_t nPages = (cb + 4095) / 4096;
            size_t off = ((*pRandom)() % nPages) * 4096;
            std::memset(strData.data() + off, 0, std::min<size_t>(4096, cb - off));
            strHow = "zero page";
            break;
        }
        case 2: {  // a page of noise
            size_t nPages = (cb + 4095) / 4096;
            size_t off = ((*pRandom)() % nPages) * 4096;
            for (size_t k = off; k < std::min(cb, off + 4096); ++k) {
                strData[k] = static_cast<char>((*pRandom)() & 0xFF);
            }
            strHow = "noise page";
            break;
        }
        default:  // cut short
            strData.resize((*pRandom)() % cb);
            strHow = "truncated";
            break;
    }
    qn::test::WriteFile(strFile, strData);
    return strHow;
}

// Opens a damaged copy and reads it through: the catalog information, the built-in items
// and a sample of the items the writers made, every user with its slots.
int ReadAll(const std::string& strPath, const std::vector<uint32_t>& itemIds, int fdOut) {
    signal(SIGALRM, OnCopyAlarm);
    alarm(g_nCopySeconds);
    Figures f;
    g_pszPhase = "integrity check";
    f.nIntegrity = IntegrityCheck(strPath) == "ok" ? 0 : 1;
    EXSM_STATUS st;
    g_pszPhase = "open";
    BOARD_OBJECT* hbrd =
        EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, nullptr, &st);
    if (hbrd == nullptr) {
        f.nOpenFailed = 1;
    } else {
        g_pszPhase = "catalog information";
        EX_BOARDINFO info{};
        EXBoardGetInfo(hbrd, &info, &st);
        FreeStr(info.hName);
        // An even sample of the items made, so that a long run's copies take no longer to read
        // than a short one's.
        std::vector<uint32_t> ids;
        size_t nStep = itemIds.size() / 2000 + 1;
        for (size_t k = 0; k < itemIds.size(); k += nStep) {
            ids.push_back(itemIds[k]);
        }
        for (uint32_t dwId = 1; dwId <= 16; ++dwId) {
            ids.push_back(dwId);
        }
        g_pszPhase = "items";
        for (uint32_t dwId : ids) {
            ITEM_OBJECT* hItem = EXItemFindByID(hbrd, dwId, nullptr, 0, &st);
            if (hItem != nullptr) {
                EX_ITEMINFO item{};
                EXItemGetInfo(hItem, &item, &st);
                EXSM_STATUS st2;
                EXItemRelease(hItem, &st2);
            }
        }
        g_pszPhase = "users and their slots";
        USER_ITERATOR* pUsers = EXBoardGetUsers(hbrd, &st);
        for (USER_OBJECT* h = EXUserIteratorFirst(pUsers); h != nullptr;
             h = EXUserIteratorNext(pUsers)) {
            for (int nSlot = 0; nSlot < 16; ++nSlot) {
                ITEM_OBJECT* hItem = EXUserGetItem(h, nSlot, &st);
                EXSM_STATUS st2;
                EXItemRelease(hItem, &st2);
            }
        }
        EXUserIteratorRelease(pUsers, 0);
        g_pszPhase = "close";
        EXBoardClose(hbrd, &st);
    }
    if (write(fdOut, &f, sizeof f) != static_cast<ssize_t>(sizeof f)) {
        return 30;
    }
    return 0;
}

Figures DamagedCopies(const std::string& strDir, const std::string& strPath, int nCopies,
                      const std::vector<uint32_t>& itemIds, std::mt19937* pRandom,
                      std::map<std::string, int>* pHow) {
    Figures total;
    for (int k = 0; k < nCopies; ++k) {
        qn::test::TempDir copy;
        for (const std::string& str : FileNames(strDir)) {
            // The lock file and the shared-memory index belong to the processes, not the data.
            if (str.size() > 4 &&
                (str.substr(str.size() - 4) == ".TAF" || str.substr(str.size() - 4) == "-shm")) {
                continue;
            }
            CopyFile(strDir + "/" + str, copy.file(str));
        }
        std::string strFile = copy.file("cat.vfc");
        struct stat sb;
        if (::stat((strFile + "-wal").c_str(), &sb) == 0 && sb.st_size > 0 &&
            (*pRandom)() % 4 == 0) {
            ++(*pHow)["log " + Damage(strFile + "-wal", pRandom)];
        } else {
            ++(*pHow)[Damage(strFile, pRandom)];
        }
        const int nBadBefore = total.nCrashes + total.nHangs;
        Figures f = RunChecked([&](int fd) { return ReadAll(strFile, itemIds, fd); }, &total);
        if (total.nCrashes + total.nHangs != nBadBefore && !g_strKeepDir.empty()) {
            const std::string strKept = g_strKeepDir + "/copy-" + std::to_string(k);
            ::mkdir(strKept.c_str(), 0755);
            for (const std::string& str : FileNames(copy.path())) {
                CopyFile(copy.file(str), strKept + "/" + str);
            }
            std::printf("  copy %d kept in %s\n", k, strKept.c_str());
        }
        total.nIntegrity += f.nIntegrity;
        total.nOpenFailed += f.nOpenFailed;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    int nKills = 100;
    int nCopies = 50;
    unsigned uSeed = std::random_device{}();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--kills") == 0) {
            nKills = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--copies") == 0) {
            nCopies = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--copy-seconds") == 0) {
            g_nCopySeconds = static_cast<unsigned>(std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--keep") == 0) {
            g_strKeepDir = argv[i + 1];
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            uSeed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        }
    }
    std::mt19937 random(uSeed);
    qn::test::IsolatedEnvironment env;
    qn::test::TempDir dir;
    std::string strPath = dir.file("cat.vfc");
    if (!MakeCatalog(strPath)) {
        std::printf("cannot make the catalog\n");
        return 1;
    }
    std::vector<uint32_t> itemIds;
    Figures last;
    Figures k = KillLoop(dir.path(), strPath, nKills, &random, &itemIds, &last);
    std::printf("kill loop (seed %u): %d kills, %d changes acknowledged\n", uSeed, k.nKills,
                k.nAcked);
    std::printf("  lost %d, half-made users %d, users awaiting their configuration entry %d\n",
                k.nLost, k.nHalfUsers, k.nWithoutEntry);
    std::printf("  torn catalog information %d, integrity failures %d, failed opens %d\n",
                k.nTornBoard, k.nIntegrity, k.nOpenFailed);
    std::printf("  temporaries: stray %d, fixed one awaiting its next writer %d\n",
                k.nStrayTemporaries, k.nLeftTemporaries);
    std::printf("  writers that failed before the kill %d, checker crashes %d, hangs %d\n",
                k.nWriterFailed, k.nCrashes, k.nHangs);
    std::printf(
        "  after the last kill: %d users, %d half-made, %d without configuration entry, "
        "%d stray temporaries, %d fixed ones, %d changes lost\n",
        last.nUsers, last.nHalfUsers, last.nWithoutEntry, last.nStrayTemporaries,
        last.nLeftTemporaries, last.nLost);
    std::map<std::string, int> how;
    Figures d = DamagedCopies(dir.path(), strPath, nCopies, itemIds, &random, &how);
    std::printf("damaged copies: %d (", nCopies);
    for (const auto& [str, n] : how) {
        std::printf(" %s %d", str.c_str(), n);
    }
    std::printf(" )\n  integrity check failed %d, open refused %d, crashes %d, hangs %d\n",
                d.nIntegrity, d.nOpenFailed, d.nCrashes, d.nHangs);
    bool fOk = k.nLost == 0 && k.nHalfUsers == 0 && k.nTornBoard == 0 && k.nIntegrity == 0 &&
               k.nOpenFailed == 0 && k.nStrayTemporaries == 0 && k.nCrashes == 0 && k.nHangs == 0 &&
               k.nWriterFailed == 0 && d.nCrashes == 0 && d.nHangs == 0;
    std::printf("%s\n", fOk ? "PASS" : "FAIL");
    return fOk ? 0 : 1;
}
