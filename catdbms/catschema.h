// The catalog schema: the one place that describes and defines every record type, field, set and
// key of a catalog. Everything else is derived from the tables below:
//   - the record structures the catalog store reads and writes (db_boardrec, db_itemrec, ...),
//     packed as the dictionary lays them out, with their sizes checked at compile time;
//   - the codes passed to the engine: record 10000 + index, set 20000 + index, field
//     1000 x record index + field index (group members and compound keys count as fields);
//   - the engine's dictionary (kRecords, kFields, kSets, kSetMembers), from which the engine
//     makes the catalog's SQLite tables and checks an existing catalog against.
//
// Field list entries, in order (every entry but the two END forms takes a field code):
//   FIELD  (NAME, member, kind, bytes, key)        a scalar, string or byte array
//   GROUP  (NAME, member, key)                     a structure of the GFIELDs that follow
//   GFIELD (NAME, GROUP, group, member, kind, bytes)   a member of the open group GROUP
//   GEND   (member)
//   ARRAY  (NAME, member, kind, bytes, count)      an array of count scalars
//   AGROUP (NAME, member, count)                   an array of count structures
//   AGFIELD(NAME, GROUP, group, member, kind, bytes)   a member of the structure of the open array
//   AGEND  (member, count)
//   CKEY   (NAME, member, FIRST, SECOND)           a compound key of two fields, both ascending
// Kinds: U8, U16, I16, U32, DBA (32-bit database address), STR (NUL-terminated text), BYTES.
// Keys: NOKEY, UNIQUE, DUPKEY (duplicates allowed), OPTKEY (optional: entries are stored and
// deleted only on request, duplicates allowed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qn::dbms {

using DBA = uint32_t;  // record index in the top 8 bits, slot in the low 24 bits; 0 is none

// ---- Records ------------------------------------------------------------------------------------
// REC(NAME, struct, index, data file, stamped, packed size in bytes)
#define QN_CATALOG_RECORDS(REC)                                            \
    REC(DB_BOARDREC, db_boardrec, 0, "catalog.d00", false, 248)            \
    REC(DB_UNIQUEIDSREC, db_uniqueidsrec, 1, "catalog.d00", false, 74)     \
    REC(DB_UNREADREC, db_unreadrec, 2, "catalog.d03", false, 20)           \
    REC(DB_CHANGEENTRYREC, db_changeentryrec, 3, "catalog.d02", false, 28) \
    REC(DB_LARGEDATA, db_largedata, 4, "catalog.d06", false, 256)          \
    REC(DB_LARGEVAR, db_largevar, 5, "catalog.d06", false, 256)            \
    REC(DB_SMALLDATA, db_smalldata, 6, "catalog.d07", false, 64)           \
    REC(DB_SMALLVAR, db_smallvar, 7, "catalog.d07", false, 64)             \
    REC(DB_USERREC, db_userrec, 8, "catalog.d04", true, 522)               \
    REC(DB_GROUPREC, db_grouprec, 9, "catalog.d04", true, 546)             \
    REC(DB_USERGROUP, db_usergroup, 10, "catalog.d03", false, 0)           \
    REC(DB_ITEMREC, db_itemrec, 11, "catalog.d01", true, 332)              \
    REC(DB_ATTACHREC, db_attachrec, 12, "catalog.d01", false, 434)         \
    REC(DB_RESOURCEREC, db_resourcerec, 13, "catalog.d01", true, 428)      \
    REC(DB_VARSTRINGREC, db_varstringrec, 14, "catalog.d05", true, 10)     \
    REC(DB_FOLDERREC, db_folderrec, 15, "catalog.d01", true, 440)          \
    REC(DB_ITEMREFREC, db_itemrefrec, 16, "catalog.d05", false, 12)        \
    REC(DB_REPOSITORYREC, db_repositoryrec, 17, "catalog.d07", true, 68)   \
    REC(SYSTEM, db_system, 18, "catalog.d00", false, 0)

// ---- Fields of each record ----------------------------------------------------------------------
#define QN_FIELDS_DB_BOARDREC(X)                                                       \
    X(FIELD, BOARDVERSION, boardversion, U16, 2, NOKEY)                                \
    X(FIELD, BOARDID, boardid, U32, 4, NOKEY)                                          \
    X(FIELD, BOARDADMINPOLICY, boardadminpolicy, U16, 2, NOKEY)                        \
    X(FIELD, BOARDADMINFLAGS, boardadminflags, U32, 4, NOKEY)                          \
    X(ARRAY, BOARDITEMS, boarditems, DBA, 4, 16)                                       \
    X(AGROUP, BOARDTIMERS, boardtimers, 16)                                            \
    X(AGFIELD, BOARDTIMEINTERVAL, BOARDTIMERS, boardtimers, boardtimeinterval, U32, 4) \
    X(AGFIELD, BOARDTIMESTAMP, BOARDTIMERS, boardtimers, boardtimestamp, U32, 4)       \
    X(AGEND, boardtimers, 16)                                                          \
    X(FIELD, BOARDRESERVED, boardreserved, BYTES, 44, NOKEY)

#define QN_FIELDS_DB_UNIQUEIDSREC(X)                                          \
    X(FIELD, UNIQUEIDSVERSION, uniqueidsversion, U16, 2, NOKEY)               \
    X(FIELD, UNIQUEIDSPREVGROUPID, uniqueidsprevgroupid, U16, 2, NOKEY)       \
    X(FIELD, UNIQUEIDSPREVRESOURCEID, uniqueidsprevresourceid, U32, 4, NOKEY) \
    X(FIELD, UNIQUEIDSPREVUSERID, uniqueidsprevuserid, U16, 2, NOKEY)         \
    X(FIELD, UNIQUEIDSRESERVED, uniqueidsreserved, BYTES, 64, NOKEY)

#define QN_FIELDS_DB_UNREADREC(X)                                   \
    X(FIELD, UNREADACCESS, unreadaccess, U32, 4, NOKEY)             \
    X(FIELD, UNREADCHANGEFIELDS, unreadchangefields, U32, 4, NOKEY) \
    X(FIELD, UNREADITEMID, unreaditemid, U32, 4, NOKEY)             \
    X(FIELD, UNREADPARENTID, unreadparentid, U32, 4, NOKEY)         \
    X(FIELD, UNREADFIRSTCHANGE, unreadfirstchange, DBA, 4, NOKEY)

#define QN_FIELDS_DB_CHANGEENTRYREC(X)                      \
    X(FIELD, CHANGEACCESS, changeaccess, U32, 4, NOKEY)     \
    X(FIELD, CHANGEFIELDS, changefields, U32, 4, NOKEY)     \
    X(FIELD, CHANGEITEMID, changeitemid, U32, 4, NOKEY)     \
    X(FIELD, CHANGEPARENTID, changeparentid, U32, 4, NOKEY) \
    X(FIELD, CHANGEUSERID, changeuserid, U16, 2, NOKEY)     \
    X(FIELD, CHANGEKIND, changekind, U16, 2, NOKEY)         \
    X(FIELD, CHANGETIME, changetime, U32, 4, NOKEY)         \
    X(FIELD, CHANGEDATA, changedata, DBA, 4, NOKEY)

#define QN_FIELDS_DB_LARGEDATA(X) X(FIELD, DATA256, data256, BYTES, 256, NOKEY)

#define QN_FIELDS_DB_LARGEVAR(X)                           \
    X(FIELD, VARBYTES255LEN, varbytes255len, U8, 1, NOKEY) \
    X(FIELD, VARBYTES255, varbytes255, BYTES, 255, NOKEY)

#define QN_FIELDS_DB_SMALLDATA(X) X(FIELD, DATA64, data64, BYTES, 64, NOKEY)

#define QN_FIELDS_DB_SMALLVAR(X)           \
    X(FIELD, VARLEN, varlen, U8, 1, NOKEY) \
    X(FIELD, VARDATA, vardata, BYTES, 63, NOKEY)

#define QN_FIELDS_DB_USERREC(X)                                     \
    X(FIELD, USERVERSION, userversion, U16, 2, NOKEY)               \
    X(FIELD, USERID, userid, U16, 2, UNIQUE)                        \
    X(FIELD, USERLASTCHANGEADDR, userlastchangeaddr, DBA, 4, NOKEY) \
    X(FIELD, USERNAME, username, STR, 32, DUPKEY)                   \
    X(FIELD, USERDESCRIPTION, userdescription, STR, 128, NOKEY)     \
    X(FIELD, USEREMAILADDR, useremailaddr, STR, 128, NOKEY)         \
    X(FIELD, USERLONGNAME, userlongname, STR, 64, NOKEY)            \
    X(FIELD, USERPASSWORD, userpassword, STR, 16, NOKEY)            \
    X(FIELD, LOCALPASSWORD, localpassword, STR, 16, NOKEY)          \
    X(FIELD, USERSERIALNUMBER, userserialnumber, STR, 16, NOKEY)    \
    X(FIELD, USERLASTLOGIN, userlastlogin, U32, 4, NOKEY)           \
    X(FIELD, USERSHADOWKIND, usershadowkind, I16, 2, NOKEY)         \
    X(FIELD, USERSHADOWDATA, usershadowdata, DBA, 4, NOKEY)         \
    X(FIELD, USERNOTIFYFLAGS, usernotifyflags, U32, 4, NOKEY)       \
    X(ARRAY, USERITEMS, useritems, DBA, 4, 16)                      \
    X(FIELD, USERRESERVED, userreserved, BYTES, 36, NOKEY)

#define QN_FIELDS_DB_GROUPREC(X)                                  \
    X(FIELD, GROUPVERSION, groupversion, U16, 2, NOKEY)           \
    X(FIELD, GROUPID, groupid, U16, 2, UNIQUE)                    \
    X(FIELD, GROUPNAME, groupname, STR, 32, DUPKEY)               \
    X(FIELD, GROUPDESCRIPTION, groupdescription, STR, 128, NOKEY) \
    X(FIELD, GROUPEMAILADDR, groupemailaddr, STR, 128, NOKEY)     \
    X(FIELD, GROUPSHADOWKIND, groupshadowkind, I16, 2, NOKEY)     \
    X(FIELD, GROUPSHADOWDATA, groupshadowdata, DBA, 4, NOKEY)     \
    X(FIELD, GROUPRESERVED, groupreserved, BYTES, 248, NOKEY)

#define QN_FIELDS_DB_USERGROUP(X)

#define QN_FIELDS_DB_ITEMREC(X)                                                                 \
    X(FIELD, ITEMVERSION, itemversion, U16, 2, NOKEY)                                           \
    X(FIELD, TYPE, type, U16, 2, NOKEY)                                                         \
    X(FIELD, ITEMID, itemid, U32, 4, UNIQUE)                                                    \
    X(FIELD, ITEMPARENTID, itemparentid, U32, 4, NOKEY)                                         \
    X(FIELD, ATTRIBUTES, attributes, U16, 2, NOKEY)                                             \
    X(FIELD, ITEMNAME, itemname, STR, 64, NOKEY)                                                \
    X(FIELD, ITEMDESCRIPTION, itemdescription, STR, 128, NOKEY)                                 \
    X(FIELD, UIDOWNER, uidowner, U16, 2, NOKEY)                                                 \
    X(FIELD, UIDRESPONSIBLE, uidresponsible, U16, 2, NOKEY)                                     \
    X(FIELD, DUEDATE, duedate, U32, 4, NOKEY)                                                   \
    X(FIELD, STATUS, status, U16, 2, NOKEY)                                                     \
    X(FIELD, UIDLASTMODIFIED, uidlastmodified, U16, 2, NOKEY)                                   \
    X(FIELD, TMLASTMODIFIED, tmlastmodified, U32, 4, NOKEY)                                     \
    X(GROUP, ITEMACCESS, itemaccess, NOKEY)                                                     \
    X(GFIELD, ITEMACCESSLEVEL, ITEMACCESS, itemaccess, itemaccesslevel, U16, 2)                 \
    X(GFIELD, ITEMACCESSGROUPORUSERID, ITEMACCESS, itemaccess, itemaccessgrouporuserid, U16, 2) \
    X(GEND, itemaccess)                                                                         \
    X(FIELD, ITEMRESERVED, itemreserved, BYTES, 78, NOKEY)                                      \
    X(FIELD, ITEMEXTENDEDINFO, itemextendedinfo, DBA, 4, NOKEY)                                 \
    X(FIELD, ITEMINSTRUCTIONS, iteminstructions, DBA, 4, NOKEY)                                 \
    X(FIELD, ITEMKEYWORDS, itemkeywords, DBA, 4, NOKEY)                                         \
    X(FIELD, ITEMNOTE, itemnote, DBA, 4, NOKEY)                                                 \
    X(FIELD, ITEMSUBSCRIBERS, itemsubscribers, DBA, 4, NOKEY)                                   \
    X(FIELD, DBALASTMODIFIED, dbalastmodified, DBA, 4, NOKEY)                                   \
    X(FIELD, FOLDERSTRUCT, folderstruct, DBA, 4, NOKEY)                                         \
    X(CKEY, STATUSBYFOLDER, statusbyfolder, ITEMPARENTID, STATUS)                               \
    X(CKEY, MODIFIEDBYFOLDER, modifiedbyfolder, ITEMPARENTID, TMLASTMODIFIED)                   \
    X(CKEY, DUEDATEBYFOLDER, duedatebyfolder, ITEMPARENTID, DUEDATE)

#define QN_FIELDS_DB_ATTACHREC(X)                                                       \
    X(FIELD, ATTVERSION, attversion, U16, 2, NOKEY)                                     \
    X(FIELD, ATTTYPE, atttype, U16, 2, NOKEY)                                           \
    X(FIELD, ATTSUBTYPE, attsubtype, U16, 2, NOKEY)                                     \
    X(FIELD, ATTNAMETYPE, attnametype, U16, 2, NOKEY)                                   \
    X(FIELD, ATTNAMESUBTYPE, attnamesubtype, U16, 2, NOKEY)                             \
    X(GROUP, ATTFILEKEY, attfilekey, OPTKEY)                                            \
    X(GFIELD, ATTNAMERESOURCEID, ATTFILEKEY, attfilekey, attnameresourceid, U32, 4)     \
    X(GFIELD, ATTNAMECRC, ATTFILEKEY, attfilekey, attnamecrc, U32, 4)                   \
    X(GEND, attfilekey)                                                                 \
    X(FIELD, ATTNAMEPATH, attnamepath, STR, 256, NOKEY)                                 \
    X(FIELD, ATTNAMETOPICNAME, attnametopicname, U32, 4, NOKEY)                         \
    X(GROUP, ATTINFO, attinfo, NOKEY)                                                   \
    X(GFIELD, ATTINFOATTR, ATTINFO, attinfo, attinfoattr, U32, 4)                       \
    X(GFIELD, ATTINFOSIZE, ATTINFO, attinfo, attinfosize, U32, 4)                       \
    X(GFIELD, ATTINFOTIMEACCESSED, ATTINFO, attinfo, attinfotimeaccessed, U32, 4)       \
    X(GFIELD, ATTINFOTIMECREATED, ATTINFO, attinfo, attinfotimecreated, U32, 4)         \
    X(GFIELD, ATTINFOTIMEEXPIRED, ATTINFO, attinfo, attinfotimeexpired, U32, 4)         \
    X(GFIELD, ATTINFOTIME, ATTINFO, attinfo, attinfotime, U32, 4)                       \
    X(GFIELD, ATTINFOUSERACCESSED, ATTINFO, attinfo, attinfouseraccessed, U16, 2)       \
    X(GEND, attinfo)                                                                    \
    X(FIELD, ATTCHECKSUM, attchecksum, U32, 4, NOKEY)                                   \
    X(FIELD, ATTSPECIALINFO, attspecialinfo, U32, 4, NOKEY)                             \
    X(FIELD, ATTSYNC, attsync, U16, 2, NOKEY)                                           \
    X(FIELD, ATTSYNCTYPE, attsynctype, U16, 2, NOKEY)                                   \
    X(FIELD, ATTSYNCINTERVAL, attsyncinterval, U32, 4, NOKEY)                           \
    X(FIELD, ATTSYNCTIME, attsynctime, U32, 4, NOKEY)                                   \
    X(FIELD, ATTACHRESERVED, attachreserved, BYTES, 98, NOKEY)                          \
    X(GROUP, ATTREPOSKEY, attreposkey, OPTKEY)                                          \
    X(GFIELD, ATTREPOSRESOURCEID, ATTREPOSKEY, attreposkey, attreposresourceid, U32, 4) \
    X(GFIELD, ATTREPOSCRC, ATTREPOSKEY, attreposkey, attreposcrc, U32, 4)               \
    X(GEND, attreposkey)                                                                \
    X(FIELD, ATTREPOSITORY, attrepository, DBA, 4, NOKEY)

#define QN_FIELDS_DB_RESOURCEREC(X)                                 \
    X(FIELD, RESOURCEVERSION, resourceversion, U16, 2, NOKEY)       \
    X(FIELD, RESOURCEID, resourceid, U32, 4, UNIQUE)                \
    X(FIELD, RESOURCETYPE, resourcetype, U16, 2, NOKEY)             \
    X(FIELD, RESOURCESUBTYPE, resourcesubtype, U16, 2, NOKEY)       \
    X(FIELD, RESOURCEPRIVATE, resourceprivate, U32, 4, NOKEY)       \
    X(FIELD, RESOURCEDOMAIN, resourcedomain, STR, 64, NOKEY)        \
    X(FIELD, RESOURCESERVER, resourceserver, STR, 64, NOKEY)        \
    X(FIELD, RESOURCESHARENAME, resourcesharename, STR, 256, NOKEY) \
    X(FIELD, RESOURCERESERVED, resourcereserved, BYTES, 26, NOKEY)  \
    X(FIELD, RESOURCELOCALPATH, resourcelocalpath, DBA, 4, NOKEY)

#define QN_FIELDS_DB_VARSTRINGREC(X)                                         \
    X(FIELD, VARSTRINGLENGTH, varstringlength, U32, 4, NOKEY)                \
    X(FIELD, VARSTRINGOWNER, varstringowner, DBA, 4, NOKEY)                  \
    X(FIELD, VARSTRINGFORCETIMESTAMP, varstringforcetimestamp, U8, 1, NOKEY) \
    X(FIELD, VARSTRINGKIND, varstringkind, U8, 1, NOKEY)

#define QN_FIELDS_DB_FOLDERREC(X)                                                     \
    X(FIELD, FOLDERVERSION, folderversion, U16, 2, NOKEY)                             \
    X(FIELD, FOLDERTYPE, foldertype, U16, 2, NOKEY)                                   \
    X(FIELD, FOLDERUPDATETYPE, folderupdatetype, U16, 2, NOKEY)                       \
    X(FIELD, FOLDERUPDATEINTERVAL, folderupdateinterval, U32, 4, NOKEY)               \
    X(FIELD, FOLDERUPDATETIME, folderupdatetime, U32, 4, NOKEY)                       \
    X(FIELD, FOLDERMONITORTYPE, foldermonitortype, U16, 2, NOKEY)                     \
    X(FIELD, FOLDERLOCATIONTYPE, folderlocationtype, U16, 2, NOKEY)                   \
    X(GROUP, FOLDERLOCATIONINFO, folderlocationinfo, NOKEY)                           \
    X(GFIELD, FOLDERLOCATIONINFOATTR, FOLDERLOCATIONINFO, folderlocationinfo,         \
      folderlocationinfoattr, U32, 4)                                                 \
    X(GFIELD, FOLDERLOCATIONINFOSIZE, FOLDERLOCATIONINFO, folderlocationinfo,         \
      folderlocationinfosize, U32, 4)                                                 \
    X(GFIELD, FOLDERLOCATIONINFOTIMEACCESSED, FOLDERLOCATIONINFO, folderlocationinfo, \
      folderlocationinfotimeaccessed, U32, 4)                                         \
    X(GFIELD, FOLDERLOCATIONINFOTIMECREATED, FOLDERLOCATIONINFO, folderlocationinfo,  \
      folderlocationinfotimecreated, U32, 4)                                          \
    X(GFIELD, FOLDERLOCATIONINFOTIMEEXPIRED, FOLDERLOCATIONINFO, folderlocationinfo,  \
      folderlocationinfotimeexpired, U32, 4)                                          \
    X(GFIELD, FOLDERLOCATIONINFOTIME, FOLDERLOCATIONINFO, folderlocationinfo,         \
      folderlocationinfotime, U32, 4)                                                 \
    X(GFIELD, FOLDERLOCATIONINFOUSERACCESSED, FOLDERLOCATIONINFO, folderlocationinfo, \
      folderlocationinfouseraccessed, U16, 2)                                         \
    X(GEND, folderlocationinfo)                                                       \
    X(GROUP, FOLDERLOCATIONNAME, folderlocationname, NOKEY)                           \
    X(GFIELD, FOLDERLOCATIONNAMETYPE, FOLDERLOCATIONNAME, folderlocationname,         \
      folderlocationnametype, U16, 2)                                                 \
    X(GFIELD, FOLDERLOCATIONNAMESUBTYPE, FOLDERLOCATIONNAME, folderlocationname,      \
      folderlocationnamesubtype, U16, 2)                                              \
    X(GFIELD, FOLDERLOCATIONNAMERESOURCEID, FOLDERLOCATIONNAME, folderlocationname,   \
      folderlocationnameresourceid, U32, 4)                                           \
    X(GFIELD, FOLDERLOCATIONNAMECRC, FOLDERLOCATIONNAME, folderlocationname,          \
      folderlocationnamecrc, U32, 4)                                                  \
    X(GFIELD, FOLDERLOCATIONNAMEPATH, FOLDERLOCATIONNAME, folderlocationname,         \
      folderlocationnamepath, STR, 256)                                               \
    X(GFIELD, FOLDERLOCATIONNAMETOPICNAME, FOLDERLOCATIONNAME, folderlocationname,    \
      folderlocationnametopicname, U32, 4)                                            \
    X(GEND, folderlocationname)                                                       \
    X(FIELD, FOLDERRESERVED, folderreserved, BYTES, 124, NOKEY)

#define QN_FIELDS_DB_ITEMREFREC(X)                              \
    X(FIELD, ITEMREFSRCITEMID, itemrefsrcitemid, U32, 4, NOKEY) \
    X(FIELD, ITEMREFDSTITEMID, itemrefdstitemid, U32, 4, NOKEY) \
    X(FIELD, ITEMREFDATA, itemrefdata, DBA, 4, NOKEY)

#define QN_FIELDS_DB_REPOSITORYREC(X)                                       \
    X(FIELD, REPOSITORYVERSION, repositoryversion, U16, 2, NOKEY)           \
    X(FIELD, REPOSITORYTYPE, repositorytype, U16, 2, NOKEY)                 \
    X(FIELD, REPOSITORYSUBTYPE, repositorysubtype, U16, 2, NOKEY)           \
    X(FIELD, REPOSITORYRESOURCEID, repositoryresourceid, U32, 4, NOKEY)     \
    X(FIELD, REPOSITORYLOCATIONCRC, repositorylocationcrc, U32, 4, NOKEY)   \
    X(FIELD, REPOSITORYATTRIBUTES, repositoryattributes, U32, 4, NOKEY)     \
    X(FIELD, REPOSITORYSIZE, repositorysize, U32, 4, NOKEY)                 \
    X(FIELD, REPOSITORYTIMEACCESSED, repositorytimeaccessed, U32, 4, NOKEY) \
    X(FIELD, REPOSITORYTIMECREATED, repositorytimecreated, U32, 4, NOKEY)   \
    X(FIELD, REPOSITORYTIMEEXPIRED, repositorytimeexpired, U32, 4, NOKEY)   \
    X(FIELD, REPOSITORYTIMEMODIFIED, repositorytimemodified, U32, 4, NOKEY) \
    X(FIELD, REPOSITORYUSERACCESSED, repositoryuseraccessed, U16, 2, NOKEY) \
    X(FIELD, REPOSITORYSYNCTYPE, repositorysynctype, U16, 2, NOKEY)         \
    X(FIELD, REPOSITORYSYNCINTERVAL, repositorysyncinterval, U32, 4, NOKEY) \
    X(FIELD, REPOSITORYSYNCTIME, repositorysynctime, U32, 4, NOKEY)         \
    X(FIELD, REPOSITORYRESERVED, repositoryreserved, BYTES, 6, NOKEY)       \
    X(FIELD, REPOSITORYLOCATIONINFO, repositorylocationinfo, DBA, 4, NOKEY) \
    X(FIELD, REPOSITORYPOLICYINFO, repositorypolicyinfo, DBA, 4, NOKEY)     \
    X(FIELD, REPOSITORYPRIVATEINFO, repositoryprivateinfo, DBA, 4, NOKEY)

#define QN_FIELDS_SYSTEM(X)

// ---- Sets
// SET(NAME, index, owner record, order, sort field or 0)
#define QN_CATALOG_SETS(SET)                                             \
    SET(DBS_VARSTRING, 0, DB_VARSTRINGREC, ORDER_LAST, 0)                \
    SET(DBS_USERS, 1, SYSTEM, ORDER_ASCENDING, USERNAME)                 \
    SET(DBS_ITEMS, 2, SYSTEM, ORDER_NEXT, 0)                             \
    SET(DBS_ITEMS_IN_FOLDER, 3, DB_ITEMREC, ORDER_ASCENDING, ITEMNAME)   \
    SET(DBS_FOLDERS_IN_FOLDER, 4, DB_ITEMREC, ORDER_ASCENDING, ITEMNAME) \
    SET(DBS_OWNS_ITEM, 5, DB_USERREC, ORDER_LAST, 0)                     \
    SET(DBS_UNREAD_BY_USER, 6, DB_USERREC, ORDER_LAST, 0)                \
    SET(DBS_USER_GROUPS, 7, DB_USERREC, ORDER_LAST, 0)                   \
    SET(DBS_USERS_IN_GROUP, 8, DB_GROUPREC, ORDER_LAST, 0)               \
    SET(DBS_GROUPS, 9, SYSTEM, ORDER_ASCENDING, GROUPNAME)               \
    SET(DBS_ATTACHMENTS, 10, DB_ITEMREC, ORDER_LAST, 0)                  \
    SET(DBS_RESOURCES, 11, SYSTEM, ORDER_LAST, 0)                        \
    SET(DBS_ITEMS_REFERENCED, 12, DB_ITEMREC, ORDER_NEXT, 0)             \
    SET(DBS_ITEM_REFERENCERS, 13, DB_ITEMREC, ORDER_NEXT, 0)

// MEMBER(set, member record): which record types each set may hold.
#define QN_CATALOG_SET_MEMBERS(MEMBER)          \
    MEMBER(DBS_VARSTRING, DB_LARGEDATA)         \
    MEMBER(DBS_VARSTRING, DB_LARGEVAR)          \
    MEMBER(DBS_VARSTRING, DB_SMALLDATA)         \
    MEMBER(DBS_VARSTRING, DB_SMALLVAR)          \
    MEMBER(DBS_USERS, DB_USERREC)               \
    MEMBER(DBS_ITEMS, DB_ITEMREC)               \
    MEMBER(DBS_ITEMS_IN_FOLDER, DB_ITEMREC)     \
    MEMBER(DBS_FOLDERS_IN_FOLDER, DB_ITEMREC)   \
    MEMBER(DBS_OWNS_ITEM, DB_ITEMREC)           \
    MEMBER(DBS_UNREAD_BY_USER, DB_UNREADREC)    \
    MEMBER(DBS_USER_GROUPS, DB_USERGROUP)       \
    MEMBER(DBS_USERS_IN_GROUP, DB_USERGROUP)    \
    MEMBER(DBS_GROUPS, DB_GROUPREC)             \
    MEMBER(DBS_ATTACHMENTS, DB_ATTACHREC)       \
    MEMBER(DBS_RESOURCES, DB_RESOURCEREC)       \
    MEMBER(DBS_ITEMS_REFERENCED, DB_ITEMREFREC) \
    MEMBER(DBS_ITEM_REFERENCERS, DB_ITEMREFREC)

// ================================================================================================
// Everything below is derived from the tables above.

enum class FieldKind : uint8_t { U8, U16, I16, U32, ADDR, STR, BYTES, GROUP, COMPOUND };
enum class KeyKind : uint8_t { NOKEY, UNIQUE, DUPKEY, OPTKEY };
enum class SetOrder : uint8_t { ORDER_LAST, ORDER_NEXT, ORDER_ASCENDING };

constexpr int kRecordBase = 10000;
constexpr int kSetBase = 20000;
constexpr int kFieldsPerRecord = 1000;

// Record codes.
enum : int {
#define QN_REC_CODE(NAME, st, idx, file, stamped, size) NAME = kRecordBase + idx,
    QN_CATALOG_RECORDS(QN_REC_CODE)
#undef QN_REC_CODE
};

// Field codes, one enumeration per record so that numbering restarts at 1000 x index.
#define QN_FC_FIELD(NAME, ...) NAME,
#define QN_FC_GROUP(NAME, ...) NAME,
#define QN_FC_GFIELD(NAME, ...) NAME,
#define QN_FC_GEND(...)
#define QN_FC_ARRAY(NAME, ...) NAME,
#define QN_FC_AGROUP(NAME, ...) NAME,
#define QN_FC_AGFIELD(NAME, ...) NAME,
#define QN_FC_AGEND(...)
#define QN_FC_CKEY(NAME, ...) NAME,
#define QN_FC(TAG, ...) QN_FC_##TAG(__VA_ARGS__)
#define QN_FIELD_CODES(NAME, st, idx, file, stamped, size) \
    enum : int { QN_FIELDS_BEFORE_##NAME = kFieldsPerRecord * idx - 1, QN_FIELDS_##NAME(QN_FC) };
QN_CATALOG_RECORDS(QN_FIELD_CODES)
#undef QN_FIELD_CODES

// Set codes.
enum : int {
#define QN_SET_CODE(NAME, idx, owner, order, sort) NAME = kSetBase + idx,
    QN_CATALOG_SETS(QN_SET_CODE)
#undef QN_SET_CODE
};

// Record structures, packed as the dictionary lays the fields out (no padding: the sizes below
// are the record sizes of the dictionary). Many members are therefore not naturally aligned:
// copy a member (or cast it to a value) before binding it to a reference or taking a typed
// pointer to it; passing its address as const void* to the engine is fine.
#define QN_CT_U8 uint8_t
#define QN_CT_U16 uint16_t
#define QN_CT_I16 int16_t
#define QN_CT_U32 uint32_t
#define QN_CT_DBA DBA
#define QN_DECL_U8(m, n) QN_CT_U8 m;
#define QN_DECL_U16(m, n) QN_CT_U16 m;
#define QN_DECL_I16(m, n) QN_CT_I16 m;
#define QN_DECL_U32(m, n) QN_CT_U32 m;
#define QN_DECL_DBA(m, n) QN_CT_DBA m;
#define QN_DECL_STR(m, n) char m[n];
#define QN_DECL_BYTES(m, n) uint8_t m[n];
#define QN_ST_FIELD(NAME, m, kind, n, key) QN_DECL_##kind(m, n)
#define QN_ST_GROUP(NAME, m, key) struct {
#define QN_ST_GFIELD(NAME, G, g, m, kind, n) QN_DECL_##kind(m, n)
#define QN_ST_GEND(m) \
    }                 \
    m;
#define QN_ST_ARRAY(NAME, m, kind, n, count) QN_CT_##kind m[count];
#define QN_ST_AGROUP(NAME, m, count) struct {
#define QN_ST_AGFIELD(NAME, G, g, m, kind, n) QN_DECL_##kind(m, n)
#define QN_ST_AGEND(m, count) \
    }                         \
    m[count];
#define QN_ST_CKEY(...)
#define QN_ST(TAG, ...) QN_ST_##TAG(__VA_ARGS__)
#pragma pack(push, 1)
#define QN_REC_STRUCT(NAME, st, idx, file, stamped, size) \
    struct st {                                           \
        QN_FIELDS_##NAME(QN_ST)                           \
    };
QN_CATALOG_RECORDS(QN_REC_STRUCT)
#undef QN_REC_STRUCT
#pragma pack(pop)

#define QN_REC_SIZE_CHECK(NAME, st, idx, file, stamped, size) \
    static_assert(size == 0 || sizeof(st) == size, "record layout of " #NAME);
QN_CATALOG_RECORDS(QN_REC_SIZE_CHECK)
#undef QN_REC_SIZE_CHECK

// Compound key values: the two components in order, packed like the record fields.
#pragma pack(push, 1)
struct db_compoundkey_u32_u16 {
    uint32_t first;
    uint16_t second;
};
struct db_compoundkey_u32_u32 {
    uint32_t first;
    uint32_t second;
};
#pragma pack(pop)
using db_statusbyfolder = db_compoundkey_u32_u16;    // ITEMPARENTID, STATUS
using db_modifiedbyfolder = db_compoundkey_u32_u32;  // ITEMPARENTID, TMLASTMODIFIED
using db_duedatebyfolder = db_compoundkey_u32_u32;   // ITEMPARENTID, DUEDATE

// ---- The dictionary

struct RecordDef {
    int code;
    const char* name;
    const char* file;  // the data file the record type lived in; kept for the dictionary only
    uint16_t size;     // bytes of a full record buffer
    bool stamped;      // carries an update stamp
};

struct FieldDef {
    int code;
    const char* name;
    int record;      // record code
    FieldKind kind;  // element kind for arrays
    KeyKind key;
    uint16_t offset;  // in the record buffer
    uint16_t size;    // whole field (all elements of an array)
    uint16_t count;   // array elements, 1 for a scalar
    int parent;       // code of the enclosing group or array of groups, 0 for none
    int first;        // compound keys: the two component field codes
    int second;
};

struct SetDef {
    int code;
    const char* name;
    int owner;
    SetOrder order;
    int sortField;  // 0 unless ORDER_ASCENDING
};

struct SetMemberDef {
    int set;
    int member;
};

namespace schema_detail {
template <class T>
T& Ref();  // only used in unevaluated sizeof expressions
}  // namespace schema_detail

#define QN_KIND_U8 FieldKind::U8
#define QN_KIND_U16 FieldKind::U16
#define QN_KIND_I16 FieldKind::I16
#define QN_KIND_U32 FieldKind::U32
#define QN_KIND_DBA FieldKind::ADDR
#define QN_KIND_STR FieldKind::STR
#define QN_KIND_BYTES FieldKind::BYTES
#define QN_FD_FIELD(R, NAME, m, kind, n, key) \
    {NAME,                                    \
     #NAME,                                   \
     RecordCodeOf<R>,                         \
     QN_KIND_##kind,                          \
     KeyKind::key,                            \
     uint16_t(offsetof(R, m)),                \
     uint16_t(n),                             \
     1,                                       \
     0,                                       \
     0,                                       \
     0},
#define QN_FD_GROUP(R, NAME, m, key)              \
    {NAME,                                        \
     #NAME,                                       \
     RecordCodeOf<R>,                             \
     FieldKind::GROUP,                            \
     KeyKind::key,                                \
     uint16_t(offsetof(R, m)),                    \
     uint16_t(sizeof(schema_detail::Ref<R>().m)), \
     1,                                           \
     0,                                           \
     0,                                           \
     0},
#define QN_FD_GFIELD(R, NAME, G, g, m, kind, n) \
    {NAME,                                      \
     #NAME,                                     \
     RecordCodeOf<R>,                           \
     QN_KIND_##kind,                            \
     KeyKind::NOKEY,                            \
     uint16_t(offsetof(R, g.m)),                \
     uint16_t(n),                               \
     1,                                         \
     G,                                         \
     0,                                         \
     0},
#define QN_FD_GEND(R, m)
#define QN_FD_ARRAY(R, NAME, m, kind, n, count) \
    {NAME,                                      \
     #NAME,                                     \
     RecordCodeOf<R>,                           \
     QN_KIND_##kind,                            \
     KeyKind::NOKEY,                            \
     uint16_t(offsetof(R, m)),                  \
     uint16_t(n * count),                       \
     count,                                     \
     0,                                         \
     0,                                         \
     0},
#define QN_FD_AGROUP(R, NAME, m, count)           \
    {NAME,                                        \
     #NAME,                                       \
     RecordCodeOf<R>,                             \
     FieldKind::GROUP,                            \
     KeyKind::NOKEY,                              \
     uint16_t(offsetof(R, m)),                    \
     uint16_t(sizeof(schema_detail::Ref<R>().m)), \
     count,                                       \
     0,                                           \
     0,                                           \
     0},
#define QN_FD_AGFIELD(R, NAME, G, g, m, kind, n) \
    {NAME,                                       \
     #NAME,                                      \
     RecordCodeOf<R>,                            \
     QN_KIND_##kind,                             \
     KeyKind::NOKEY,                             \
     uint16_t(offsetof(R, g[0].m)),              \
     uint16_t(n),                                \
     1,                                          \
     G,                                          \
     0,                                          \
     0},
#define QN_FD_AGEND(R, m, count)
#define QN_FD_CKEY(R, NAME, m, A, B) \
    {NAME, #NAME, RecordCodeOf<R>, FieldKind::COMPOUND, KeyKind::DUPKEY, 0, 0, 1, 0, A, B},

// The record code of each structure, for the field table.
template <class T>
inline constexpr int RecordCodeOf = 0;
#define QN_REC_CODE_OF(NAME, st, idx, file, stamped, size) \
    template <>                                            \
    inline constexpr int RecordCodeOf<st> = NAME;
QN_CATALOG_RECORDS(QN_REC_CODE_OF)
#undef QN_REC_CODE_OF

#define QN_FD(TAG, ...) QN_FD_##TAG(QN_FD_REC, __VA_ARGS__)

inline constexpr RecordDef kRecords[] = {
#define QN_RD(NAME, st, idx, file, stamped, size) {NAME, #NAME, file, uint16_t(size), stamped},
    QN_CATALOG_RECORDS(QN_RD)
#undef QN_RD
};

inline constexpr FieldDef kFields[] = {
#define QN_FD_REC db_boardrec
    QN_FIELDS_DB_BOARDREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_uniqueidsrec
        QN_FIELDS_DB_UNIQUEIDSREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_unreadrec
            QN_FIELDS_DB_UNREADREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_changeentryrec
                QN_FIELDS_DB_CHANGEENTRYREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_largedata
                    QN_FIELDS_DB_LARGEDATA(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_largevar
                        QN_FIELDS_DB_LARGEVAR(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_smalldata
                            QN_FIELDS_DB_SMALLDATA(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_smallvar
                                QN_FIELDS_DB_SMALLVAR(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_userrec
                                    QN_FIELDS_DB_USERREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_grouprec
                                        QN_FIELDS_DB_GROUPREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_itemrec
                                            QN_FIELDS_DB_ITEMREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_attachrec
                                                QN_FIELDS_DB_ATTACHREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_resourcerec
                                                    QN_FIELDS_DB_RESOURCEREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_varstringrec
                                                        QN_FIELDS_DB_VARSTRINGREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_folderrec
                                                            QN_FIELDS_DB_FOLDERREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_itemrefrec
                                                                QN_FIELDS_DB_ITEMREFREC(QN_FD)
#undef QN_FD_REC
#define QN_FD_REC db_repositoryrec
                                                                    QN_FIELDS_DB_REPOSITORYREC(
                                                                        QN_FD)
#undef QN_FD_REC
};

inline constexpr SetDef kSets[] = {
#define QN_SD(NAME, idx, owner, order, sort) {NAME, #NAME, owner, SetOrder::order, sort},
    QN_CATALOG_SETS(QN_SD)
#undef QN_SD
};

inline constexpr SetMemberDef kSetMembers[] = {
#define QN_SMD(set, member) {set, member},
    QN_CATALOG_SET_MEMBERS(QN_SMD)
#undef QN_SMD
};

inline constexpr int kRecordCount = int(sizeof(kRecords) / sizeof(kRecords[0]));
inline constexpr int kFieldCount = int(sizeof(kFields) / sizeof(kFields[0]));
inline constexpr int kSetCount = int(sizeof(kSets) / sizeof(kSets[0]));
inline constexpr int kSetMemberCount = int(sizeof(kSetMembers) / sizeof(kSetMembers[0]));

// The counts the dictionary header has always carried.
inline constexpr const char kDictionaryVersion[] = "F1.00";
static_assert(kRecordCount == 19, "19 record types");
static_assert(kFieldCount == 172, "172 fields");
static_assert(kSetCount == 14, "14 sets");
static_assert(kSetMemberCount == 17, "17 set-member entries");

namespace schema_detail {
constexpr bool CodesAreDense() {
    for (int i = 0; i < kRecordCount; ++i)
        if (kRecords[i].code != kRecordBase + i)
            return false;
    for (int i = 0; i < kSetCount; ++i)
        if (kSets[i].code != kSetBase + i)
            return false;
    for (int i = 1; i < kFieldCount; ++i) {
        const FieldDef& a = kFields[i - 1];
        const FieldDef& b = kFields[i];
        if (a.record == b.record ? b.code != a.code + 1
                                 : b.code != (b.record - kRecordBase) * kFieldsPerRecord)
            return false;
    }
    return true;
}
constexpr int CountIf(bool (*pred)(const FieldDef&)) {
    int n = 0;
    for (const FieldDef& f : kFields)
        n += pred(f) ? 1 : 0;
    return n;
}
}  // namespace schema_detail
static_assert(schema_detail::CodesAreDense(),
              "record, set and field codes follow the numbering rule");
static_assert(ITEMID == 11002 && ATTRIBUTES == 11004 && USERID == 8001 && ATTFILEKEY == 12005 &&
                  ATTREPOSKEY == 12025,
              "field numbering");
static_assert(schema_detail::CountIf([](const FieldDef& f) {
                  return f.kind == FieldKind::COMPOUND;
              }) * 2 ==
                  6,
              "6 compound-key components");

// Lookups (constant time; nullptr for a code that is not in the schema).
constexpr const RecordDef* FindRecord(int code) {
    return code >= kRecordBase && code < kRecordBase + kRecordCount ? &kRecords[code - kRecordBase]
                                                                    : nullptr;
}
constexpr const SetDef* FindSet(int code) {
    return code >= kSetBase && code < kSetBase + kSetCount ? &kSets[code - kSetBase] : nullptr;
}
const FieldDef* FindField(int code);
// True when records of type recordCode may be members of the set.
bool IsSetMember(int setCode, int recordCode);

// Database addresses.
constexpr DBA MakeDba(int recordCode, uint32_t slot) {
    return (uint32_t(recordCode - kRecordBase) << 24) | (slot & 0x00FFFFFFu);
}
constexpr int DbaRecord(DBA dba) {
    return kRecordBase + int(dba >> 24);
}
constexpr uint32_t DbaSlot(DBA dba) {
    return dba & 0x00FFFFFFu;
}

}  // namespace qn::dbms
