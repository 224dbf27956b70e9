// Id sets are CRoaring bitmaps. Debian's CRoaring puts its C++ class in the global
// namespace; later releases put it in `roaring`. Code here always writes
// roaring::Roaring, and this alias bridges the older layout.
#pragma once

#include <roaring/roaring.hh>

#if ROARING_VERSION_MAJOR == 0
namespace roaring {
using Roaring = ::Roaring;
}
#endif
