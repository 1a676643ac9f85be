// The C boundary of the library: no exception ever reaches the application or passes through
// libcurl's C frames. Every export and every libcurl callback runs its body in Guard. Running
// out of memory ends the process with the library's message, as every allocation failure in
// the library does; any other exception becomes the caller's failure value.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <new>

namespace qn::webnet {

[[noreturn]] inline void OutOfMemory(const char* pszModule, const char* pszFunction) {
    std::fprintf(stderr, "%s %s: out of memory.\nProgram aborted.\n", pszModule, pszFunction);
    std::abort();
}

template <typename R, typename F>
R Guard(const char* pszFunction, R rFail, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        OutOfMemory("WEBNET", pszFunction);
    } catch (...) {
        return rFail;
    }
}

template <typename F>
void GuardVoid(const char* pszFunction, F&& body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        OutOfMemory("WEBNET", pszFunction);
    } catch (...) {
    }
}

}  // namespace qn::webnet
