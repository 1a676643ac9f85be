// The variable strings of the verification: the in-memory index of headers and chunks, the
// check of one string that the record checks use, and the last check, which adopts what no
// record references.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "frame.h"
#include "items.h"
#include "varstr.h"
#include "verify.h"

namespace catstore {

int CVerifyRun::LoadStrings() {
    m_strings.clear();
    int rc =
        ScanAll<db_varstringrec>(m_pdb, DB_VARSTRINGREC, [&](DBA dba, const db_varstringrec& r) {
            StringInfo& info = m_strings[dba];
            info.cbStored = r.varstringlength;
            info.dwMark = r.varstringowner;
            info.bKind = r.varstringkind;
            return S_OKAY;
        });
    // Lengths of the chunks that carry one; a value out of range makes the chunk unreadable.
    std::unordered_map<DBA, int> lengths;
    if (rc == S_OKAY) {
        rc = ScanAll<db_largevar>(m_pdb, DB_LARGEVAR, [&](DBA dba, const db_largevar& r) {
            lengths[dba] = r.varbytes255len == 0 ? -1 : int(r.varbytes255len);
            return S_OKAY;
        });
    }
    if (rc == S_OKAY) {
        rc = ScanAll<db_smallvar>(m_pdb, DB_SMALLVAR, [&](DBA dba, const db_smallvar& r) {
            lengths[dba] = r.varlen == 0 || r.varlen > sizeof r.vardata ? -1 : int(r.varlen);
            return S_OKAY;
        });
    }
    for (int32_t nFixed : {DB_LARGEDATA, DB_SMALLDATA}) {
        const int cbFixed = nFixed == DB_LARGEDATA ? 256 : 64;
        if (rc == S_OKAY) {
            rc = ScanAll<db_largedata>(m_pdb, nFixed, [&](DBA dba, const db_largedata&) {
                lengths[dba] = cbFixed;
                return S_OKAY;
            });
        }
    }
    std::vector<std::pair<DBA, DBA>> pairs;
    if (rc == S_OKAY) {
        rc = m_pdb->MemberPairs(DBS_VARSTRING, &pairs);
    }
    if (rc != S_OKAY) {
        return rc;
    }
    for (const auto& [owner, member] : pairs) {
        auto itHeader = m_strings.find(owner);
        if (itHeader == m_strings.end()) {
            continue;  // a membership of a header that is gone: the storage check reports it
        }
        StringInfo& info = itHeader->second;
        auto it = lengths.find(member);
        if (it == lengths.end()) {
            info.fBroken = true;
        } else if (it->second < 0) {
            info.badChunks.push_back(member);
        } else {
            info.cbChunks += uint32_t(it->second);
            info.chunks.push_back(member);
        }
    }
    return S_OKAY;
}

StringInfo* CVerifyRun::FindString(DBA dba) {
    auto it = m_strings.find(dba);
    return it == m_strings.end() ? nullptr : &it->second;
}

// Writes a header's length; the header stays current.
static int WriteLength(CDbContext* pdb, DBA dba, uint32_t cb) {
    db_varstringrec rec{};
    int rc = pdb->ReadAt(dba, &rec, nullptr);
    if (rc == S_OKAY) {
        rec.varstringlength = cb;
        rc = pdb->Write(&rec);
    }
    return rc;
}

// Deletes chunk records (each leaves its set with it).
static int DeleteChunks(CDbContext* pdb, const std::vector<DBA>& chunks) {
    for (DBA dba : chunks) {
        int rc = pdb->DeleteAt(dba);
        if (rc != S_OKAY && rc != S_DELETED) {
            return rc;
        }
    }
    return S_OKAY;
}

bool CVerifyRun::CheckString(DBA* pdba, int* prc) {
    const DBA dba = *pdba;
    if (dba == 0) {
        return true;
    }
    StringInfo* pInfo = DbaRecord(dba) == DB_VARSTRINGREC ? FindString(dba) : nullptr;
    if (pInfo == nullptr) {
        Finding("DBBoardVerify: var string header missing or corrupted; DBA=0x%08lX\r\n",
                static_cast<unsigned long>(dba));
        *pdba = 0;
        return false;
    }
    // Owned by the record that names it, whatever the outcome: never adopted as an orphan.
    pInfo->fVisited = true;
    bool fOk = true;
    if (pInfo->fBroken || !pInfo->badChunks.empty()) {
        Finding("DBBoardVerify: var string set member corruption; DBA=0x%08lX\r\n",
                static_cast<unsigned long>(dba));
        fOk = false;
        if (m_fRepair) {
            // The chain keeps its readable chunks; the unreadable ones go.
            *prc = DeleteChunks(m_pdb, pInfo->badChunks);
            pInfo->badChunks.clear();
            pInfo->fBroken = false;
        }
    }
    if (pInfo->cbChunks != 0 && pInfo->cbChunks == pInfo->cbStored) {
        return fOk;
    }
    if (!m_fRepair) {
        Finding("DBBoardVerify: var string data missing or size mismatch; DBA=0x%08lX\r\n",
                static_cast<unsigned long>(dba));
        return false;
    }
    if (*prc != S_OKAY) {
        return false;
    }
    if (pInfo->cbChunks == 0) {
        Finding("DBBoardVerify: var string data missing; DBA=0x%08lX\r\n",
                static_cast<unsigned long>(dba));
        *prc = DeleteChunks(m_pdb, pInfo->chunks);
        if (*prc == S_OKAY) {
            *prc = m_pdb->DeleteAt(dba);
        }
        ForgetString(dba);
        *pdba = 0;
        return false;
    }
    Finding("DBBoardVerify: var string data size mismatch; DBA=0x%08lX\r\n",
            static_cast<unsigned long>(dba));
    *prc = WriteLength(m_pdb, dba, pInfo->cbChunks);
    pInfo->cbStored = pInfo->cbChunks;
    return false;
}

// One dba field of one record that names a header.
struct StringReferrer {
    DBA dbaRecord;
    uint16_t nOffset;  // of the field element in the record buffer
    uint8_t bKind;     // the kind of text the field holds (0: not known)
};

// The kind of text a dba field holds, as the store writes it.
static uint8_t FieldKindOf(int nField) {
    switch (nField) {
        case ITEMNOTE:
            return VSK_ITEMNOTE;
        case ITEMEXTENDEDINFO:
            return VSK_EXTENDEDINFO;
        case ITEMINSTRUCTIONS:
            return VSK_INSTRUCTIONS;
        case ITEMKEYWORDS:
            return VSK_KEYWORDS;
        case ITEMSUBSCRIBERS:
            return VSK_SUBSCRIBERS;
        case REPOSITORYLOCATIONINFO:
            return VSK_REPOSLOCATION;
        case REPOSITORYPOLICYINFO:
            return VSK_REPOSPOLICY;
        case REPOSITORYPRIVATEINFO:
            return VSK_REPOSPRIVATE;
        case ITEMREFDATA:
            return VSK_ITEMREFDATA;
        case USERSHADOWDATA:
            return VSK_USERSHADOW;
        case GROUPSHADOWDATA:
            return VSK_GROUPSHADOW;
        case CHANGEDATA:
            return VSK_CHANGEDATA;
        case RESOURCELOCALPATH:
            return VSK_RESOURCELOCALPATH;
        default:
            return 0;
    }
}

// Every header some field of some record names: such a string has an owner and is never
// adopted, whether or not one of the record checks looked at it. A header named by more than
// one field lands in *pShared with all its referrers, in the order of the walk (record types in
// dictionary order, records in storage order, fields in record order).
static int CollectReferencedStrings(
    CDbContext* pdb, std::unordered_set<DBA>* pOwned,
    std::unordered_map<DBA, StringReferrer>* pFirst,
    std::vector<std::pair<DBA, std::vector<StringReferrer>>>* pShared) {
    std::unordered_map<DBA, StringReferrer>& first = *pFirst;
    std::unordered_map<DBA, size_t> sharedAt;  // header -> its entry in *pShared
    std::vector<uint8_t> buffer;
    for (const RecordDef& r : kRecords) {
        std::vector<const FieldDef*> fields;
        for (const FieldDef& f : kFields) {
            // A header's own dba field is its visit mark, not a reference.
            if (f.record == r.code && f.kind == FieldKind::ADDR && r.code != DB_VARSTRINGREC) {
                fields.push_back(&f);
            }
        }
        if (fields.empty() || r.size == 0) {
            continue;
        }
        buffer.assign(r.size, 0);
        DBA dba = 0;
        for (;;) {
            uint32_t stamp = 0;
            DBA found = 0;
            int rc = pdb->ScanRead(r.code, dba, buffer.data(), &stamp, &found);
            if (rc == S_NOTFOUND) {
                break;
            }
            if (rc != S_OKAY) {
                return rc;
            }
            dba = found;
            for (const FieldDef* f : fields) {
                for (uint16_t i = 0; i < f->count; ++i) {
                    const uint16_t nOffset = uint16_t(f->offset + i * sizeof(DBA));
                    DBA value;
                    std::memcpy(&value, buffer.data() + nOffset, sizeof value);
                    if (value == 0 || DbaRecord(value) != DB_VARSTRINGREC) {
                        continue;
                    }
                    const StringReferrer ref{found, nOffset, FieldKindOf(f->code)};
                    if (pOwned->insert(value).second) {
                        first.emplace(value, ref);
                        continue;
                    }
                    auto [it, fNew] = sharedAt.emplace(value, pShared->size());
                    if (fNew) {
                        pShared->push_back({value, {first.at(value)}});
                    }
                    (*pShared)[it->second].second.push_back(ref);
                }
            }
        }
    }
    return S_OKAY;
}

// Points a referrer's field at another header (0: none) and writes its record back.
static int WriteReferrerField(CDbContext* pdb, const StringReferrer& ref, DBA dbaHeader) {
    const RecordDef* pDef = FindRecord(int(DbaRecord(ref.dbaRecord)));
    if (pDef == nullptr) {
        return S_SYSERR;
    }
    std::vector<uint8_t> buffer(pDef->size, 0);
    int rc = pdb->ReadAt(ref.dbaRecord, buffer.data(), nullptr);
    if (rc == S_OKAY) {
        std::memcpy(buffer.data() + ref.nOffset, &dbaHeader, sizeof dbaHeader);
        rc = pdb->Write(buffer.data());
    }
    return rc;
}

// Gives a referrer of a shared header its own copy of the text and writes its record back.
static int CopyForReferrer(CVerifyRun& run, DBA dbaHeader, const StringReferrer& ref, uint8_t bKind,
                           std::unordered_set<DBA>* pOwned) {
    CDbContext* pdb = run.Db();
    int rc = S_OKAY;
    DBA dbaSound = dbaHeader;
    run.CheckString(&dbaSound, &rc);  // the copy takes what a sound string holds
    if (rc != S_OKAY) {
        return rc;
    }
    VarStringHolder from, to;
    from.dba = dbaSound;
    if (dbaSound != 0 && VarStringRead(&from, pdb) == DBSuccess) {
        to.value = std::move(from.value);
    }
    if (VarStringWrite(&to, pdb, bKind) != DBSuccess) {
        return S_SYSERR;
    }
    if (to.dba != 0) {
        pOwned->insert(to.dba);
    }
    return WriteReferrerField(pdb, ref, to.dba);
}

// One header, one referrer: the referrer whose field holds the header's kind of text keeps it
// (the first in the walk when none or several do); every other one gets its own copy.
static int SeparateSharers(CVerifyRun& run, const std::vector<StringReferrer>& refs, DBA dba,
                           uint32_t* pcErrors, std::unordered_set<DBA>* pOwned,
                           StringReferrer* pKeeper) {
    const StringInfo* pInfo = run.FindString(dba);
    const uint8_t bKind = pInfo != nullptr ? pInfo->bKind : 0;
    size_t nKeeper = 0;
    for (size_t i = 0; i < refs.size(); ++i) {
        if (bKind != 0 && refs[i].bKind == bKind) {
            nKeeper = i;
            break;
        }
    }
    *pKeeper = refs[nKeeper];
    for (size_t i = 0; i < refs.size(); ++i) {
        if (i == nKeeper) {
            continue;
        }
        ++*pcErrors;
        run.Finding("DBBoardVerify: var string referenced twice; DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dba));
        if (run.Repair()) {
            const int rc = CopyForReferrer(run, dba, refs[i],
                                           refs[i].bKind != 0 ? refs[i].bKind : bKind, pOwned);
            if (rc != S_OKAY) {
                return rc;
            }
        }
    }
    return S_OKAY;
}

// The orphan item of one header: the header's address goes into the field its kind names.
static int AdoptOrphan(CVerifyRun& run, DBA dbaHeader, uint8_t bKind) {
    CDbContext* pdb = run.Db();
    DB_ITEM item;
    item.item.type = 1;
    std::strncpy(item.item.itemname, "Item for Orphan Strings", sizeof item.item.itemname - 1);
    std::strncpy(item.item.itemdescription, "File Catalog Repair -- Var strings assumed to be note",
                 sizeof item.item.itemdescription - 1);
    item.item.itemparentid = run.dwLostFoundID;
    item.item.uidowner = 1;
    item.item.uidresponsible = 1;
    item.item.itemaccess.itemaccesslevel = 3;
    item.item.itemaccess.itemaccessgrouporuserid = 1;
    DBStatus st = ItemCreateLocked(pdb, &item, nullptr, nullptr);
    if (st == DBDuplicate) {
        return S_DUPLICATE;
    }
    if (st == DBNotFound) {
        return S_NOTFOUND;
    }
    if (st != DBSuccess) {
        return S_SYSERR;
    }
    int32_t nField = ITEMNOTE;
    switch (bKind) {
        case 2:
            nField = ITEMEXTENDEDINFO;
            break;
        case 3:
            nField = ITEMINSTRUCTIONS;
            break;
        case 4:
            nField = ITEMKEYWORDS;
            break;
        default:
            break;  // the note: 1, 5 (never the subscribers), the repository texts and the rest
    }
    db_itemrec rec{};
    int rc = pdb->ReadAt(item.dba, &rec, nullptr);
    if (rc == S_OKAY) {
        const DBA dba = dbaHeader;
        switch (nField) {
            case ITEMEXTENDEDINFO:
                rec.itemextendedinfo = dba;
                break;
            case ITEMINSTRUCTIONS:
                rec.iteminstructions = dba;
                break;
            case ITEMKEYWORDS:
                rec.itemkeywords = dba;
                break;
            default:
                rec.itemnote = dba;
                break;
        }
        rc = pdb->Write(&rec);
    }
    return rc;
}

int VarStringCheckIntegrity(CVerifyRun& run, uint32_t* pcErrors) {
    CDbContext* pdb = run.Db();
    std::unordered_set<DBA> owned;
    std::unordered_map<DBA, StringReferrer> firstReferrer;
    std::vector<std::pair<DBA, std::vector<StringReferrer>>> shared;
    int rc = CollectReferencedStrings(pdb, &owned, &firstReferrer, &shared);
    uint32_t cErrors = 0;
    for (const auto& [dba, refs] : shared) {
        if (rc == S_OKAY) {
            rc = SeparateSharers(run, refs, dba, &cErrors, &owned, &firstReferrer[dba]);
        }
    }
    // The headers that exist now: the orphan items made below add none.
    std::vector<std::pair<DBA, const StringInfo*>> headers;
    if (rc == S_OKAY && run.Repair()) {
        rc = run.LoadStrings();  // the repairs before changed them; without repair nothing did
    }
    if (rc != S_OKAY) {
        return rc;
    }
    for (const auto& [dba, info] : run.Strings()) {
        headers.emplace_back(dba, &info);
    }
    std::sort(headers.begin(), headers.end());
    for (const auto& [dba, pInfo] : headers) {
        if (pInfo->dwMark != 0) {
            ++cErrors;  // a visit mark left behind by another writer
            run.Finding("DBBoardVerify: var string visit mark left set; DBA=0x%08lX\r\n",
                        static_cast<unsigned long>(dba));
            if (run.Repair()) {
                db_varstringrec rec{};
                rc = pdb->ReadAt(dba, &rec, nullptr);
                if (rc == S_OKAY) {
                    rec.varstringowner = 0;
                    rc = pdb->Write(&rec);
                }
                if (rc != S_OKAY) {
                    return rc;
                }
            }
        }
        if (owned.count(dba) != 0) {
            if (!pInfo->fVisited) {
                // Owned by a record the record checks do not read (change data, a group's or
                // a resource's text): the string itself is checked here.
                DBA dbaField = dba;
                if (!run.CheckString(&dbaField, &rc)) {
                    ++cErrors;
                }
                auto itReferrer = firstReferrer.find(dba);
                if (rc == S_OKAY && dbaField == 0 && itReferrer != firstReferrer.end()) {
                    // Removed for want of data: its owner must not go on naming it.
                    rc = WriteReferrerField(pdb, itReferrer->second, 0);
                }
                if (rc != S_OKAY) {
                    return rc;
                }
            }
            continue;
        }
        ++cErrors;
        run.Finding("DBBoardVerify: orphaned var string found; DBA=0x%08lX\r\n",
                    static_cast<unsigned long>(dba));
        if (!run.Repair()) {
            continue;
        }
        if (run.dwLostFoundID == 0) {
            return S_NOTFOUND;
        }
        // An orphan is adopted sound: a string without data is removed instead.
        DBA dbaOrphan = dba;
        const uint8_t bKind = pInfo->bKind;
        run.CheckString(&dbaOrphan, &rc);
        if (rc != S_OKAY) {
            return rc;
        }
        if (dbaOrphan == 0) {
            continue;
        }
        rc = AdoptOrphan(run, dba, bKind);
        if (rc != S_OKAY) {
            return rc;
        }
    }
    *pcErrors += cErrors;
    run.Summary("Checked integrity of %lu var strings; %u error(s) found\r\n",
                static_cast<unsigned long>(headers.size()), cErrors);
    return S_OKAY;
}

}  // namespace catstore
