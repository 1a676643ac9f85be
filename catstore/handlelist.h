// Lists of user and group handles (USER_ITERATOR, GROUP_ITERATOR): the template that fills one
// from the records a collector lists, the moves of a list's position, and the exported calls
// every kind of list shares.
//
// A list's entries are handles with no references of their own (cRef 0): they belong to the
// list and go with it. nCurrent is the position, -1 before the first entry.
#pragma once

#include <memory>
#include <vector>

#include "board.h"
#include "engine.h"
#include "frame.h"
#include "locks.h"
#include "platform/liveobjects.h"

namespace catstore {

// Fills a new list with a handle for each record that collect(pdb, &records) lists, all read
// under one lock packet, and hands it out in *ppIter. Handles says what the list is made of:
//   Iterator, Object                     the list and its handle type
//   NewIterator(hbrd), FreeIterator(p)   make and free a list with its entries
//   NewObject(hbrd), FreeObject(h)       make and free one entry
//   ReadHere(pdb, h)                     read the current record into an entry
// A failure (the locks, the collector, a record) is returned and hands out nothing: a list that
// lacks records would pass for the whole one, so the entries read so far are freed and *ppIter
// is left as it was.
template <class Handles, class Collect>
DBStatus FillIterator(BOARD_OBJECT* hbrd, const std::vector<LockEntry>& packet,
                      const Collect& collect, typename Handles::Iterator** ppIter) {
    using Iterator = typename Handles::Iterator;
    using Object = typename Handles::Object;
    // Owned here until handed out, so that an allocation failure frees what was read.
    std::unique_ptr<Iterator, void (*)(Iterator*)> pIter(Handles::NewIterator(hbrd),
                                                         Handles::FreeIterator);
    CDbContext* pdb = hbrd->pdb;
    {
        CStoreRead read(pdb, packet);
        std::vector<DBA> records;
        DBStatus st = read.Status();
        if (st == DBSuccess) {
            st = collect(pdb, &records);
        }
        for (size_t i = 0; st == DBSuccess && i < records.size(); ++i) {
            std::unique_ptr<Object, void (*)(Object*)> h(Handles::NewObject(hbrd),
                                                         Handles::FreeObject);
            st = MapEngineStatus(pdb->MakeCurrent(records[i]));
            if (st == DBSuccess) {
                st = Handles::ReadHere(pdb, h.get());
            }
            if (st == DBSuccess) {
                pIter->entries.push_back(h.get());
                h.release();
            }
        }
        if (st != DBSuccess) {
            return st;
        }
    }
    pIter->nCurrent = static_cast<int>(pIter->entries.size()) - 1;
    *ppIter = pIter.release();
    return DBSuccess;
}

template <typename Iter>
bool IsLiveIter(Iter* p, qn::platform::ObjectKind kind) {
    return p != nullptr && qn::platform::IsLiveObject(p, kind);
}

// The moves of the exported iterator calls.
enum class IterStep { Current, First, Last, Next, Previous };

// Moves the position by step and gives the entry at it; nullptr when there is none.
template <typename Iter, typename Obj>
Obj* IterMove(Iter* p, qn::platform::ObjectKind kind, IterStep step) {
    if (!IsLiveIter(p, kind)) {
        return nullptr;
    }
    int nLast = static_cast<int>(p->entries.size()) - 1;
    switch (step) {
        case IterStep::Current:
            return p->nCurrent >= 0 && p->nCurrent <= nLast ? p->entries[p->nCurrent] : nullptr;
        case IterStep::First:
            if (nLast < 0) {
                return nullptr;
            }
            p->nCurrent = 0;
            return p->entries[0];
        case IterStep::Last:
            if (nLast < 0) {
                return nullptr;
            }
            p->nCurrent = nLast;
            return p->entries[nLast];
        case IterStep::Next:
            if (p->nCurrent >= nLast) {
                return nullptr;
            }
            ++p->nCurrent;
            return p->entries[p->nCurrent];
        case IterStep::Previous:
            if (p->nCurrent < 0) {
                return nullptr;
            }
            --p->nCurrent;
            return p->nCurrent >= 0 && p->nCurrent <= nLast ? p->entries[p->nCurrent] : nullptr;
    }
    return nullptr;
}

}  // namespace catstore

// Defines the exported Count, Reset, Current, First, Last, Next and Prev calls of one kind of
// list (Prefix "EXUserIterator": EXUserIteratorCount, ...).
#define QN_ITER_EXPORTS(Prefix, Iter, Obj, Kind)                                               \
    extern "C" int Prefix##Count(Iter* p) {                                                    \
        return catstore::RunApiNoStatus(#Prefix "Count", 0, [&]() {                            \
            return catstore::IsLiveIter(p, Kind) ? static_cast<int>(p->entries.size()) : 0;    \
        });                                                                                    \
    }                                                                                          \
    extern "C" void Prefix##Reset(Iter* p) {                                                   \
        catstore::RunApiNoStatus(#Prefix "Reset", 0, [&]() {                                   \
            if (catstore::IsLiveIter(p, Kind)) {                                               \
                p->nCurrent = -1;                                                              \
            }                                                                                  \
            return 0;                                                                          \
        });                                                                                    \
    }                                                                                          \
    extern "C" Obj* Prefix##Current(Iter* p) {                                                 \
        return catstore::RunApiNoStatus(#Prefix "Current", static_cast<Obj*>(nullptr), [&]() { \
            return catstore::IterMove<Iter, Obj>(p, Kind, catstore::IterStep::Current);        \
        });                                                                                    \
    }                                                                                          \
    extern "C" Obj* Prefix##First(Iter* p) {                                                   \
        return catstore::RunApiNoStatus(#Prefix "First", static_cast<Obj*>(nullptr), [&]() {   \
            return catstore::IterMove<Iter, Obj>(p, Kind, catstore::IterStep::First);          \
        });                                                                                    \
    }                                                                                          \
    extern "C" Obj* Prefix##Last(Iter* p) {                                                    \
        return catstore::RunApiNoStatus(#Prefix "Last", static_cast<Obj*>(nullptr), [&]() {    \
            return catstore::IterMove<Iter, Obj>(p, Kind, catstore::IterStep::Last);           \
        });                                                                                    \
    }                                                                                          \
    extern "C" Obj* Prefix##Next(Iter* p) {                                                    \
        return catstore::RunApiNoStatus(#Prefix "Next", static_cast<Obj*>(nullptr), [&]() {    \
            return catstore::IterMove<Iter, Obj>(p, Kind, catstore::IterStep::Next);           \
        });                                                                                    \
    }                                                                                          \
    extern "C" Obj* Prefix##Prev(Iter* p) {                                                    \
        return catstore::RunApiNoStatus(#Prefix "Prev", static_cast<Obj*>(nullptr), [&]() {    \
            return catstore::IterMove<Iter, Obj>(p, Kind, catstore::IterStep::Previous);       \
        });                                                                                    \
    }
