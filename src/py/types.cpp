#include "py/types.h"

namespace tallowmere::py {

PyTypeObject* cached_type(PyTypeObject*& slot, PyType_Spec* description) noexcept {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(description));
  return slot;
}

}  // namespace tallowmere::py
