#include "ReferenceBatch.h"

namespace Orlo {

ReferenceBatch::ReferenceBatch(size_t capacity) : records(new HeapRecord::Captured[capacity]), capacity(capacity) {}

}  // namespace Orlo
