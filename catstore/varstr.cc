#include "varstr.h"

#include <climits>
#include <cstring>

#include "trace.h"

namespace catstore {

namespace {

// Remembers the engine's current record and makes it current again at the end.
class CCurrencyKeeper {
  public:
    explicit CCurrencyKeeper(CDbContext* pdb) : m_pdb(pdb) {
        if (pdb->CurrentDba(&m_dba) != S_OKAY) {
            m_dba = 0;
        }
    }
    DBStatus Restore(DBStatus result) {
        if (m_dba != 0) {
            int rc = m_pdb->MakeCurrent(m_dba);
            if (rc != S_OKAY && rc != S_DELETED) {
                return MapEngineStatus(rc);
            }
        }
        return result;
    }

  private:
    CDbContext* m_pdb;
    DBA m_dba = 0;
};

// Header check: DBSuccess unchanged, DBRecordModified changed (stamp refreshed when it was 0),
// DBDeleted gone, DBUnexpectedRecordType wrong type.
DBStatus CheckHeader(const VarStringHolder* pHolder, CDbContext* pdb, uint64_t* pStamp) {
    int rc = pdb->MakeCurrent(pHolder->dba);
    if (rc == S_DELETED || rc == S_INVADDR) {
        return DBDeleted;
    }
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    int32_t nType = 0;
    rc = pdb->CurrentType(&nType);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    if (nType != DB_VARSTRINGREC) {
        ReportAssertion("nRecType == nType", ".\\DBUTIL");
        return DBUnexpectedRecordType;
    }
    if (pHolder->stamp == 0) {
        rc = pdb->CurrentStamp(pStamp);
        return rc != S_OKAY ? MapEngineStatus(rc) : DBRecordModified;
    }
    rc = pdb->TestStamp(pHolder->stamp);
    if (rc == S_OKAY) {
        *pStamp = pHolder->stamp;
        return DBSuccess;
    }
    if (rc == S_UPDATED) {
        return DBRecordModified;
    }
    if (rc == S_DELETED) {
        return DBDeleted;
    }
    return MapEngineStatus(rc);
}

DBStatus ReadChunks(VarStringHolder* pHolder, CDbContext* pdb) {
    db_varstringrec header{};
    int rc = pdb->Read(&header);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    if (header.varstringlength > static_cast<uint32_t>(INT_MAX)) {
        ReportAssertion("cbData <= INT_MAX", ".\\DBVARSTR");
        return DBFatalEngineError;
    }
    uint64_t stamp = 0;
    rc = pdb->CurrentStamp(&stamp);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    std::string strValue;
    strValue.reserve(header.varstringlength);
    rc = pdb->SetOwnerCurrent(DBS_VARSTRING);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    for (rc = pdb->FindFirst(DBS_VARSTRING); rc == S_OKAY; rc = pdb->FindNext(DBS_VARSTRING)) {
        int32_t nType = 0;
        rc = pdb->CurrentType(&nType);
        if (rc != S_OKAY) {
            break;
        }
        if (nType == DB_LARGEDATA) {
            db_largedata chunk{};
            rc = pdb->Read(&chunk);
            strValue.append(reinterpret_cast<const char*>(chunk.data256), sizeof chunk.data256);
        } else if (nType == DB_LARGEVAR) {
            db_largevar chunk{};
            rc = pdb->Read(&chunk);
            strValue.append(reinterpret_cast<const char*>(chunk.varbytes255),
                            std::min<size_t>(chunk.varbytes255len, sizeof chunk.varbytes255));
        } else if (nType == DB_SMALLDATA) {
            db_smalldata chunk{};
            rc = pdb->Read(&chunk);
            strValue.append(reinterpret_cast<const char*>(chunk.data64), sizeof chunk.data64);
        } else if (nType == DB_SMALLVAR) {
            db_smallvar chunk{};
            rc = pdb->Read(&chunk);
            strValue.append(reinterpret_cast<const char*>(chunk.vardata),
                            std::min<size_t>(chunk.varlen, sizeof chunk.vardata));
        }
        if (rc != S_OKAY) {
            break;
        }
    }
    if (rc != S_EOS) {
        return MapEngineStatus(rc);
    }
    if (strValue.size() > header.varstringlength) {
        strValue.resize(header.varstringlength);
    }
    pHolder->value = std::move(strValue);
    pHolder->stamp = stamp;
    return DBSuccess;
}

DBStatus DeleteChunks(CDbContext* pdb) {
    int rc = pdb->SetOwnerCurrent(DBS_VARSTRING);
    if (rc != S_OKAY) {
        return MapEngineStatus(rc);
    }
    for (;;) {
        rc = pdb->FindFirst(DBS_VARSTRING);
        if (rc == S_EOS) {
            return DBSuccess;
        }
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
        rc = pdb->DisconnectAllAndDelete();
        if (rc != S_OKAY) {
            return MapEngineStatus(rc);
        }
    }
}

DBStatus WriteChunks(const std::string& strValue, CDbContext* pdb) {
    const auto* pb = reinterpret_cast<const unsigned char*>(strValue.data());
    size_t cbLeft = strValue.size();
    auto connect = [&](int32_t nType, const void* pRecord) -> DBStatus {
        int rc = pdb->Create(nType, pRecord);
        if (rc == S_OKAY) {
            rc = pdb->Connect(DBS_VARSTRING);
        }
        return rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
    };
    DBStatus st = DBSuccess;
    while (st == DBSuccess && cbLeft > 255) {
        db_largedata chunk{};
        std::memcpy(chunk.data256, pb, 256);
        st = connect(DB_LARGEDATA, &chunk);
        pb += 256;
        cbLeft -= 256;
    }
    if (st == DBSuccess && cbLeft >= 129) {
        db_largevar chunk{};
        chunk.varbytes255len = static_cast<uint8_t>(cbLeft);
        std::memcpy(chunk.varbytes255, pb, cbLeft);
        return connect(DB_LARGEVAR, &chunk);
    }
    while (st == DBSuccess && cbLeft >= 64) {
        db_smalldata chunk{};
        std::memcpy(chunk.data64, pb, 64);
        st = connect(DB_SMALLDATA, &chunk);
        pb += 64;
        cbLeft -= 64;
    }
    if (st == DBSuccess && cbLeft > 0) {
        db_smallvar chunk{};
        chunk.varlen = static_cast<uint8_t>(cbLeft);
        std::memcpy(chunk.vardata, pb, cbLeft);
        st = connect(DB_SMALLVAR, &chunk);
    }
    return st;
}

}  // namespace

ChunkCounts ChunkLayout(size_t cb) {
    ChunkCounts counts;
    while (cb > 255) {
        ++counts.nLargeData;
        cb -= 256;
    }
    if (cb >= 129) {
        ++counts.nLargeVar;
        return counts;
    }
    while (cb >= 64) {
        ++counts.nSmallData;
        cb -= 64;
    }
    if (cb > 0) {
        ++counts.nSmallVar;
    }
    return counts;
}

DBStatus VarStringRead(VarStringHolder* pHolder, CDbContext* pdb) {
    if (pHolder->dba == 0) {
        pHolder->value.clear();
        pHolder->stamp = 0;
        return DBSuccess;
    }
    CCurrencyKeeper keeper(pdb);
    uint64_t stamp = 0;
    DBStatus st = CheckHeader(pHolder, pdb, &stamp);
    if (st == DBRecordModified) {
        st = ReadChunks(pHolder, pdb);
    }
    return keeper.Restore(st);
}

DBStatus VarStringLength(const VarStringHolder* pHolder, CDbContext* pdb, uint32_t* pcb) {
    *pcb = 0;
    if (pHolder->dba == 0) {
        return DBSuccess;
    }
    CCurrencyKeeper keeper(pdb);
    int rc = pdb->MakeCurrent(pHolder->dba);
    DBStatus st = DBSuccess;
    if (rc == S_DELETED || rc == S_INVADDR) {
        st = DBDeleted;
    } else if (rc != S_OKAY) {
        st = MapEngineStatus(rc);
    } else {
        db_varstringrec header{};
        rc = pdb->Read(&header);
        st = rc == S_OKAY ? DBSuccess : MapEngineStatus(rc);
        *pcb = header.varstringlength;
    }
    return keeper.Restore(st);
}

DBStatus VarStringWrite(VarStringHolder* pHolder, CDbContext* pdb, uint8_t bKind) {
    if (pHolder->dba == 0 && pHolder->value.empty()) {
        return DBSuccess;
    }
    CCurrencyKeeper keeper(pdb);
    DBStatus st = DBSuccess;
    if (pHolder->dba != 0) {
        uint64_t stamp = 0;
        st = CheckHeader(pHolder, pdb, &stamp);
        if (st == DBRecordModified && pHolder->stamp == 0) {
            st = DBSuccess;  // the stamp was still to be learnt: nothing to compare
        }
        if (st == DBSuccess) {
            st = DeleteChunks(pdb);
        }
        if (st == DBSuccess) {
            int rc = pdb->MakeCurrent(pHolder->dba);
            if (rc == S_OKAY && pHolder->value.empty()) {
                rc = pdb->DisconnectAllAndDelete();
                if (rc == S_OKAY) {
                    pHolder->dba = 0;
                    pHolder->stamp = 0;
                    return keeper.Restore(DBSuccess);
                }
            }
            if (rc != S_OKAY) {
                st = MapEngineStatus(rc);
            }
        }
        if (st != DBSuccess) {
            return keeper.Restore(st);
        }
    }
    db_varstringrec header{};
    header.varstringlength = static_cast<uint32_t>(pHolder->value.size());
    header.varstringowner = 0;
    header.varstringkind = bKind;
    int rc;
    if (pHolder->dba == 0) {
        header.varstringforcetimestamp = 0;
        rc = pdb->Create(DB_VARSTRINGREC, &header);
        if (rc == S_OKAY) {
            rc = pdb->CurrentDba(&pHolder->dba);
        }
    } else {
        header.varstringforcetimestamp = 1;
        rc = pdb->Write(&header);  // the header is current and was checked above
    }
    if (rc == S_OKAY) {
        rc = pdb->CurrentStamp(&pHolder->stamp);
    }
    if (rc == S_OKAY) {
        rc = pdb->SetOwnerCurrent(DBS_VARSTRING);
    }
    if (rc != S_OKAY) {
        return keeper.Restore(MapEngineStatus(rc));
    }
    st = WriteChunks(pHolder->value, pdb);
    return keeper.Restore(st);
}

}  // namespace catstore
