#include "py/types.h"

namespace tallowmere::py {

PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec* spec) noexcept {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return slot;
}

}  // namespace tallowmere::py
