// Writers killed at random moments and writers racing each other: what they leave behind in the
// catalog and beside it.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalog_fixture.h"
#include "config.h"
#include "platform/profile.h"
#include "users.h"

using namespace cstest;

namespace {

namespace profile = qn::platform::profile;

// The built-in user slots (slot 6 holds the Quick List again).
constexpr int kUserSlots[] = {0, 1, 2, 3, 4, 6, 7, 8};

// A child that does numbered steps and reports each finished one as a line on a pipe, so that
// the parent knows which changes were acknowledged before it killed the child.
class CKilledChild {
  public:
    explicit CKilledChild(const std::function<bool(int)>& fnStep) {
        int afd[2];
        if (pipe(afd) != 0) {
            return;
        }
        m_pid = qn::test::ForkChild([&]() {
            close(afd[0]);
            for (int i = 0;; ++i) {
                if (!fnStep(i)) {
                    return 1;
                }
                char ach[16];
                int cch = std::snprintf(ach, sizeof ach, "%d\n", i);
                if (write(afd[1], ach, static_cast<size_t>(cch)) != cch) {
                    return 2;
                }
            }
        });
        close(afd[1]);
        m_fd = afd[0];
    }
    ~CKilledChild() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    CKilledChild(const CKilledChild&) = delete;
    CKilledChild& operator=(const CKilledChild&) = delete;

    // Waits for the first acknowledged step, lets the child run on for a random moment, kills it
    // and returns the number of steps it acknowledged.
    int KillAfter(std::mt19937* pRandom, int usMax) {
        std::string strAcks;
        char ach[256];
        ssize_t cb = read(m_fd, ach, sizeof ach);
        if (cb > 0) {
            strAcks.append(ach, static_cast<size_t>(cb));
            usleep(static_cast<useconds_t>((*pRandom)() % static_cast<unsigned>(usMax)));
        }
        kill(m_pid, SIGKILL);
        m_nExit = qn::test::WaitChild(m_pid);
        while ((cb = read(m_fd, ach, sizeof ach)) > 0) {
            strAcks.append(ach, static_cast<size_t>(cb));
        }
        int n = 0;
        for (char ch : strAcks) {
            n += ch == '\n' ? 1 : 0;
        }
        return n;
    }
    // 128 + SIGKILL when the kill ended the child (not an earlier failure of its own).
    int Exit() const { return m_nExit; }

  private:
    pid_t m_pid = -1;
    int m_fd = -1;
    int m_nExit = -1;
};

std::vector<std::string> FilesStartingWith(const std::string& strDir, const std::string& strStart) {
    std::vector<std::string> v;
    DIR* pDir = opendir(strDir.c_str());
    if (pDir == nullptr) {
        return v;
    }
    while (dirent* p = readdir(pDir)) {
        if (std::strncmp(p->d_name, strStart.c_str(), strStart.size()) == 0) {
            v.emplace_back(p->d_name);
        }
    }
    closedir(pDir);
    return v;
}

std::string MapEntry(const std::string& strIni, const std::string& strUser) {
    char ach[64] = {};
    profile::ReadString(catstore::INI_USERMAP_SECTION, strUser.c_str(), "", ach, sizeof ach,
                        strIni.c_str());
    return ach;
}

// How many of the user's built-in slots hold an item.
int FilledSlots(USER_OBJECT* hUser) {
    int n = 0;
    for (int nSlot : kUserSlots) {
        EXSM_STATUS st;
        ITEM_OBJECT* hItem = EXUserGetItem(hUser, nSlot, &st);
        n += hItem != nullptr ? 1 : 0;
        EXItemRelease(hItem, &st);
    }
    return n;
}

}  // namespace

class CrashTest : public CatalogTest {
  protected:
    std::mt19937 m_random{std::random_device{}()};
};

TEST_F(CrashTest, AKilledUserCreateLeavesTheUserAbsentOrComplete) {
    MakeCatalog();
    const std::string strPath = m_strPath;
    const std::string strIni = m_dir.file("cat.ini");
    std::set<std::string> acknowledged;
    int nKills = 0;
    int nWithoutEntry = 0;
    for (int nRound = 0; nRound < 12; ++nRound) {
        auto name = [nRound](int i) {
            return "u" + std::to_string(nRound) + "x" + std::to_string(i);
        };
        BOARD_OBJECT* hChild = nullptr;
        CKilledChild child([&](int i) {
            EXSM_STATUS s;
            if (hChild == nullptr) {
                hChild = EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0,
                                     nullptr, &s);
                if (hChild == nullptr) {
                    return false;
                }
            }
            return AddUser(hChild, name(i).c_str(), "pw", &s) != 0;
        });
        int nAcked = child.KillAfter(&m_random, 60000);
        ASSERT_EQ(child.Exit(), 128 + SIGKILL);
        ++nKills;
        for (int i = 0; i < nAcked; ++i) {
            acknowledged.insert(name(i));
        }

        EXSM_STATUS st;
        BOARD_OBJECT* hbrd = Open("SYSTEM", "", &st);
        ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
        USER_ITERATOR* pUsers = EXBoardGetUsers(hbrd, &st);
        ASSERT_EQ(st, EXSM_SUCCESS);
        std::set<std::string> present;
        std::vector<std::string> toRepair;
        for (USER_OBJECT* h = EXUserIteratorFirst(pUsers); h != nullptr;
             h = EXUserIteratorNext(pUsers)) {
            EX_USERINFO info{};
            EXUserGetInfo(h, &info, &st);
            std::string strName = Text(info.hName);
            FreeUserInfo(&info);
            if (strName == "SYSTEM") {
                continue;
            }
            present.insert(strName);
            // The record and its folders are one commit.
            EXPECT_EQ(FilledSlots(h), 8) << strName;
            if (MapEntry(strIni, strName).empty()) {
                // Killed between the commit and the configuration write: only the last user.
                EXPECT_EQ(acknowledged.count(strName), 0u) << strName;
                toRepair.push_back(strName);
            }
        }
        EXUserIteratorRelease(pUsers, 0);
        EXBoardClose(hbrd, &st);
        for (const std::string& strName : acknowledged) {
            EXPECT_EQ(present.count(strName), 1u) << strName;
        }
        // The first open as such a user writes the configuration it lacks.
        for (const std::string& strName : toRepair) {
            ++nWithoutEntry;
            hbrd = Open(strName.c_str(), "pw", &st);
            ASSERT_NE(hbrd, nullptr) << strName << " " << EXStatusText(st);
            EXBoardClose(hbrd, &st);
            EXPECT_EQ(MapEntry(strIni, strName), strName);
        }
    }
    EXPECT_EQ(nKills, 12);
    EXPECT_GT(acknowledged.size(), 0u);
    RecordProperty("users_acknowledged", static_cast<int>(acknowledged.size()));
    RecordProperty("users_without_entry_after_kill", nWithoutEntry);
}

TEST_F(CrashTest, AnOpenMakesTheFoldersOfAUserLeftWithoutAny) {
    MakeCatalog();
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    // A user as an interrupted create of an earlier version left it: the record alone.
    UserHolder holder;
    holder.nType = qn::dbms::DB_USERREC;
    std::strcpy(holder.rec.username, "halfmade");
    ASSERT_TRUE(catstore::StorePassword("pw", holder.rec.userpassword));
    ASSERT_EQ(catstore::UserCreate(hbrd->pdb, &holder), DBSuccess);
    EXBoardClose(hbrd, &st);
    ASSERT_EQ(MapEntry(m_dir.file("cat.ini"), "halfmade"), "");

    hbrd = Open("halfmade", "pw", &st);
    ASSERT_NE(hbrd, nullptr) << EXStatusText(st);
    EXPECT_EQ(FilledSlots(EXBoardGetCurrentUser(hbrd)), 8);
    EXBoardClose(hbrd, &st);
    EXPECT_EQ(MapEntry(m_dir.file("cat.ini"), "halfmade"), "halfmade");
    EXPECT_NE(qn::test::ReadFile(m_dir.file("halfmade.ini")).find("WARNING"), std::string::npos);

    // The system user keeps to the two slots every open fills.
    hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    EXPECT_EQ(FilledSlots(EXBoardGetCurrentUser(hbrd)), 2);
    EXBoardClose(hbrd, &st);
}

TEST_F(CrashTest, AKilledProfileWriterLeavesNoTemporaryAndLosesNoAcknowledgedKey) {
    const std::string strIni = m_dir.file("prof.ini");
    int nAckedTotal = 0;
    int nLeftAfterKill = 0;
    for (int nRound = 0; nRound < 40; ++nRound) {
        CKilledChild child([&](int i) {
            std::string strKey = "r" + std::to_string(nRound) + "k" + std::to_string(i);
            std::string strValue(200 + static_cast<size_t>(i % 50), 'v');
            return profile::WriteString("Keys", strKey.c_str(), strValue.c_str(), strIni.c_str());
        });
        int nAcked = child.KillAfter(&m_random, 5000);
        ASSERT_EQ(child.Exit(), 128 + SIGKILL);
        nAckedTotal += nAcked;
        std::string strText = qn::test::ReadFile(strIni);
        for (int i = 0; i < nAcked; ++i) {
            std::string strKey = "r" + std::to_string(nRound) + "k" + std::to_string(i);
            std::string strValue(200 + static_cast<size_t>(i % 50), 'v');
            EXPECT_NE(strText.find(strKey + "=" + strValue + "\r\n"), std::string::npos) << strKey;
        }
        // At most the one temporary of a writer killed between naming it and the rename.
        std::vector<std::string> left = FilesStartingWith(m_dir.path(), "prof.ini.");
        EXPECT_LE(left.size(), 1u);
        for (const std::string& str : left) {
            EXPECT_EQ(str, "prof.ini.tmp");
        }
        nLeftAfterKill += static_cast<int>(left.size());
        // The next writer takes whatever was left.
        ASSERT_TRUE(
            profile::WriteString("Keys", "after", std::to_string(nRound).c_str(), strIni.c_str()));
        EXPECT_TRUE(FilesStartingWith(m_dir.path(), "prof.ini.").empty()) << nRound;
    }
    EXPECT_GT(nAckedTotal, 0);
    RecordProperty("temporaries_after_kill", nLeftAfterKill);
}

// Two writers set the catalog information over and over, each write naming itself in the name,
// the policy and the board id alike; a reader reads it over and over. A read must show one write
// whole, and only writes that reported success.
TEST_F(CrashTest, BoardInfoWritesAreWholeAndReadsUntorn) {
    MakeCatalog();
    const std::string strPath = m_strPath;
    const int kWrites = 120;
    const int kReads = 400;
    auto writer = [&](int nWriter) {
        return qn::test::ForkChild([&, nWriter]() {
            EXSM_STATUS s;
            BOARD_OBJECT* h =
                EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, nullptr, &s);
            if (h == nullptr) {
                return 10;
            }
            std::string strOk;
            int nFailedOther = 0;
            for (int i = 1; i <= kWrites; ++i) {
                int nTag = nWriter * 1000 + i;
                EX_BOARDINFO info{};
                EXBoardGetInfo(h, &info, &s);
                FreeStr(info.hName);
                info.hName = Str(("w" + std::to_string(nTag)).c_str());
                info.wAdminPolicy = static_cast<uint16_t>(nTag);
                info.dwBoardID = static_cast<uint32_t>(nTag);
                EXBoardSetInfo(h, &info, &s);
                FreeStr(info.hName);
                if (s == EXSM_SUCCESS) {
                    strOk += std::to_string(nTag) + "\n";
                } else if (s != EXSM_ITEM_HAS_CHANGED) {
                    ++nFailedOther;
                }
            }
            qn::test::WriteFile(strPath + ".ok" + std::to_string(nWriter), strOk);
            EXBoardClose(h, &s);
            return nFailedOther == 0 ? 0 : 11;
        });
    };
    pid_t pidReader = qn::test::ForkChild([&]() {
        EXSM_STATUS s;
        BOARD_OBJECT* h =
            EXBoardOpen(strPath.c_str(), "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, nullptr, &s);
        if (h == nullptr) {
            return 10;
        }
        std::string strSeen;
        for (int i = 0; i < kReads; ++i) {
            EX_BOARDINFO info{};
            EXBoardGetInfo(h, &info, &s);
            if (s != EXSM_SUCCESS) {
                return 12;
            }
            strSeen += Text(info.hName) + " " + std::to_string(info.wAdminPolicy) + " " +
                       std::to_string(info.dwBoardID) + "\n";
            FreeStr(info.hName);
        }
        qn::test::WriteFile(strPath + ".seen", strSeen);
        EXBoardClose(h, &s);
        return 0;
    });
    pid_t pidA = writer(1);
    pid_t pidB = writer(2);
    EXPECT_EQ(qn::test::WaitChild(pidA), 0);
    EXPECT_EQ(qn::test::WaitChild(pidB), 0);
    EXPECT_EQ(qn::test::WaitChild(pidReader), 0);

    std::set<int> ok;
    for (int nWriter : {1, 2}) {
        std::string strOk = qn::test::ReadFile(strPath + ".ok" + std::to_string(nWriter));
        for (size_t pos = 0; pos < strOk.size();) {
            size_t end = strOk.find('\n', pos);
            ok.insert(std::atoi(strOk.substr(pos, end - pos).c_str()));
            pos = end + 1;
        }
    }
    EXPECT_GT(ok.size(), 0u);
    std::string strSeen = qn::test::ReadFile(strPath + ".seen");
    int nTorn = 0;
    int nUnacknowledged = 0;
    int nReads = 0;
    for (size_t pos = 0; pos < strSeen.size();) {
        size_t end = strSeen.find('\n', pos);
        char achName[64] = {};
        unsigned uPolicy = 0;
        unsigned long ulId = 0;
        std::sscanf(strSeen.substr(pos, end - pos).c_str(), "%63s %u %lu", achName, &uPolicy,
                    &ulId);
        pos = end + 1;
        ++nReads;
        if (achName[0] != 'w') {
            continue;  // before the first write
        }
        unsigned uName = static_cast<unsigned>(std::atoi(achName + 1));
        nTorn += uName != uPolicy || uName != ulId ? 1 : 0;
        nUnacknowledged += ok.count(static_cast<int>(uName)) == 0 ? 1 : 0;
    }
    EXPECT_EQ(nReads, kReads);
    EXPECT_EQ(nTorn, 0);
    EXPECT_EQ(nUnacknowledged, 0);

    // The last successful write stands whole.
    EXSM_STATUS st;
    BOARD_OBJECT* hbrd = Open();
    ASSERT_NE(hbrd, nullptr);
    EX_BOARDINFO info{};
    EXBoardGetInfo(hbrd, &info, &st);
    int nName = std::atoi(Text(info.hName).c_str() + 1);
    EXPECT_EQ(static_cast<int>(info.wAdminPolicy), nName);
    EXPECT_EQ(static_cast<int>(info.dwBoardID), nName);
    EXPECT_EQ(ok.count(nName), 1u);
    FreeStr(info.hName);
    EXBoardClose(hbrd, &st);
    RecordProperty("writes_refused_as_changed", 2 * kWrites - static_cast<int>(ok.size()));
}
