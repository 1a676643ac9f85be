// The one guard of the library's exported calls: the caller is C, so no exception may reach it;
// an allocation that fails becomes Out Of Memory and anything else an internal error.
#pragma once

#include <new>

#include "exsmstatus.h"

namespace qn::dbu {

template <typename F>
EXSM_STATUS Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return EXSM_OUT_OF_MEMORY;
    } catch (...) {
        return EXSM_INTERNAL_ERROR;
    }
}

}  // namespace qn::dbu
