/* A program written against the installed headers and libraries only, as an application
 * developer writes one: makes a catalog in the folder it is given, opens it again as SYSTEM,
 * backs it up into "backup" there, splits a URL, and prints the paths of the Quillon libraries
 * it runs on. */
#include <catdbu.h>
#include <catstore.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <webnet.h>

static int Fail(const char* pszWhat, EXSM_STATUS status) {
    fprintf(stderr, "consumer: %s: %s (%d)\n", pszWhat, EXStatusText(status), (int)status);
    return 1;
}

/* The mapped files of this process whose names hold "/lib<name>.so", one a line. */
static void PrintLibraries(void) {
    FILE* pMaps = fopen("/proc/self/maps", "r");
    if (pMaps == NULL) {
        return;
    }
    char achLine[4096];
    char achLast[4096] = "";
    while (fgets(achLine, sizeof achLine, pMaps) != NULL) {
        const char* pszPath = strchr(achLine, '/');
        if (pszPath == NULL || strcmp(pszPath, achLast) == 0) {
            continue;
        }
        if (strstr(pszPath, "/libcatstore.so") || strstr(pszPath, "/libwebnet.so") ||
            strstr(pszPath, "/libcatdbu.so")) {
            printf("library %s", pszPath);
            snprintf(achLast, sizeof achLast, "%s", pszPath);
        }
    }
    fclose(pMaps);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer FOLDER\n");
        return 64;
    }
    char achCatalog[1024];
    snprintf(achCatalog, sizeof achCatalog, "%s/consumer.vfc", argv[1]);

    EXSM_STATUS status;
    EX_BOARDINFO info;
    memset(&info, 0, sizeof info);
    info.hName = EXStringCreate("Consumer Catalog");
    BOARD_OBJECT* hbrd = EXBoardCreate(achCatalog, "SYSTEM", "", &info, 0, 0, 0, NULL, &status);
    QNGlobalFree((QNHGLOBAL)info.hName);
    if (hbrd == NULL) {
        return Fail("EXBoardCreate", status);
    }
    EXBoardClose(hbrd, &status);

    hbrd = EXBoardOpen(achCatalog, "SYSTEM", "", EX_OPEN_SHARED, 0, 0, 0, NULL, &status);
    if (hbrd == NULL) {
        return Fail("EXBoardOpen", status);
    }
    memset(&info, 0, sizeof info);
    EXBoardGetInfo(hbrd, &info, &status);
    if (status != EXSM_SUCCESS) {
        return Fail("EXBoardGetInfo", status);
    }
    char achName[64];
    EXStringGetText(info.hName, achName, sizeof achName);
    QNGlobalFree((QNHGLOBAL)info.hName);
    printf("catalog %s version %u name %s\n", achCatalog, (unsigned)info.wBoardVersion, achName);
    EXBoardClose(hbrd, &status);

    char achBackup[1024];
    snprintf(achBackup, sizeof achBackup, "%s/backup", argv[1]);
    if (mkdir(achBackup, 0700) != 0) {
        perror("consumer: mkdir");
        return 1;
    }
    status = UTBackUp(achCatalog, achBackup, 0);
    if (status != EXSM_SUCCESS) {
        return Fail("UTBackUp", status);
    }
    printf("backup in %s\n", achBackup);

    char achHost[64];
    long lLength = sizeof achHost;
    if (QNINetInitialize() != 0 ||
        QNINetParseURL("https://catalog.example.org/path", QNINET_URL_HOST, &lLength, achHost) !=
            0 ||
        QNINetTerminate() != 0) {
        fprintf(stderr, "consumer: webnet failed\n");
        return 1;
    }
    printf("host %.*s\n", (int)lLength, achHost);
    PrintLibraries();
    return 0;
}
