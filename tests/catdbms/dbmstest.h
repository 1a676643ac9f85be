// Helpers shared by the engine tests: a fresh catalog in a temporary folder and record makers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catdbms/dbms.h"
#include "testsupport.h"

namespace qn::dbms::test {

inline std::string NewCatalog(const qn::test::TempDir& dir, const char* name = "catalog.vfc") {
    const std::string path = dir.file(name);
    EXPECT_EQ(CDbTask::CreateCatalog(path.c_str()), S_OKAY);
    return path;
}

inline int OpenTask(CDbTask& task, const std::string& path, const char* mode = "s",
                    int timeoutMs = 200) {
    task.SetLockTimeoutMs(timeoutMs);
    return task.Open(path.c_str(), mode);
}

inline db_itemrec Item(uint32_t id, const char* name, uint32_t parent = 0) {
    db_itemrec r;
    std::memset(&r, 0, sizeof r);
    r.itemversion = 25;
    r.type = 1;
    r.itemid = id;
    r.itemparentid = parent;
    std::snprintf(r.itemname, sizeof r.itemname, "%s", name);
    return r;
}

inline db_userrec User(uint16_t id, const char* name) {
    db_userrec r;
    std::memset(&r, 0, sizeof r);
    r.userid = id;
    std::snprintf(r.username, sizeof r.username, "%s", name);
    return r;
}

// The current record's DBA (0 when there is none).
inline DBA Current(CDbTask& task) {
    DBA dba = 0;
    task.CrGet(&dba);
    return dba;
}

// Creates a record and returns its address.
template <class T>
DBA Make(CDbTask& task, int record, const T& rec) {
    EXPECT_EQ(task.FillNew(record, &rec), S_OKAY);
    return Current(task);
}

// The SYSTEM record (owner of the catalog-wide sets).
inline DBA SystemDba(CDbTask& task) {
    EXPECT_EQ(task.RecFirst(SYSTEM), S_OKAY);
    return Current(task);
}

}  // namespace qn::dbms::test
