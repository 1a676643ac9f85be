// The catalog schema as the store sees it: the record structures and the record, set and field
// codes all come from the engine's one schema definition.
#pragma once

#include "catdbms/catschema.h"

namespace catstore {
using namespace qn::dbms;
}  // namespace catstore
