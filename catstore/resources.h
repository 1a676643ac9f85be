// Resources: places where attached files live (the RESOURCE_OBJECT handles are resources.cc's).
#pragma once

#include <cstddef>

namespace catstore {

// The bytes one resource handle takes, for the memory report.
size_t ResourceObjectSize();

}  // namespace catstore
