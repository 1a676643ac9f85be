// Damaged catalogs: each input is a list of byte edits (2-byte offset in pages of 4 bytes, value)
// applied to a small valid catalog, which is then opened and read through the engine. Every
// answer must be a status; nothing may crash, hang or write the file.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "catdbms/dbms.h"

namespace {

using namespace qn::dbms;

std::string g_dir;
std::string g_catalog;  // the valid catalog's bytes

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

void RemoveSample() {
    for (const char* name : {"sample.vfc", "sample.TAF", "damaged.vfc", "damaged.vfc-wal",
                             "damaged.vfc-shm", "damaged.vfc-journal", "damaged.TAF"})
        unlink((g_dir + "/" + name).c_str());
    rmdir(g_dir.c_str());
}

void MakeSample() {
    char tmpl[] = "/tmp/qn_dbms_fuzz_XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (dir == nullptr)
        abort();
    g_dir = dir;
    atexit(RemoveSample);
    const std::string path = g_dir + "/sample.vfc";
    if (CDbTask::CreateCatalog(path.c_str()) != S_OKAY)
        abort();
    {
        CDbTask t;
        if (t.Open(path.c_str(), "x") != S_OKAY)
            abort();
        for (uint32_t i = 1; i <= 20; ++i) {
            db_itemrec r;
            std::memset(&r, 0, sizeof r);
            r.itemid = i;
            std::snprintf(r.itemname, sizeof r.itemname, "item %u", i);
            t.FillNew(DB_ITEMREC, &r);
            t.Connect(DBS_ITEMS);
        }
        db_attachrec a;
        std::memset(&a, 0, sizeof a);
        t.FillNew(DB_ATTACHREC, &a);
        t.KeyStore(ATTFILEKEY);
    }
    g_catalog = ReadAll(path);
    if (g_catalog.empty())
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_catalog.empty())
        MakeSample();
    std::string bytes = g_catalog;
    for (size_t i = 0; i + 3 <= size && i < 3 * 64; i += 3) {
        const size_t at = (size_t(data[i]) | size_t(data[i + 1]) << 8) * 4 % bytes.size();
        bytes[at] = char(data[i + 2]);
    }
    if (size % 7 == 3)
        bytes.resize(bytes.size() * (size_t(data[0]) + 1) / 257);  // truncated
    const std::string path = g_dir + "/damaged.vfc";
    for (const char* s : {"", "-wal", "-shm", "-journal"})
        unlink((path + s).c_str());
    WriteAll(path, bytes);

    CDbTask t;
    t.SetLockTimeoutMs(0);
    if (t.Open(path.c_str(), "s") == S_OKAY) {
        uint8_t buf[1024];
        for (const RecordDef& r : kRecords) {
            int n = 0;
            for (int rc = t.RecFirst(r.code); rc == S_OKAY && n < 100; rc = t.RecNext(r.code), ++n)
                t.RecRead(buf);
        }
        int n = 0;
        for (int rc = t.FindFirst(DBS_ITEMS); rc == S_OKAY && n < 100;
             rc = t.FindNext(DBS_ITEMS), ++n)
            t.CrRead(ITEMNAME, buf);
        uint32_t id = 5;
        t.KeyFind(ITEMID, &id);
        CheckReport report;
        t.CheckCatalog(&report);
    }
    t.Close();
    if (ReadAll(path) != bytes)
        abort();  // reading never writes the file
    return 0;
}
