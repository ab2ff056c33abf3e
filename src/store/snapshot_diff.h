// store/snapshot_diff.h: which (namespace, key) pairs differ between two views.
// * Cost follows the change, not the size: a shard map shared by both views is
//   skipped in O(1), a namespace whose key map is shared costs one identity test,
//   and inside a changed map the persistent map's own diff skips shared subtrees.
// * A value counts as changed when its encoded bytes differ: the same buffer is
//   never read, different lengths never compare bytes.
// * The result holds views into the two records' keys; it is valid while both
//   records live. Lists are grouped by shard in ascending order, the keys of one
//   namespace together; otherwise their order is the maps' (unspecified) order.
#pragma once

#include <string_view>
#include <vector>

#include "store/snapshot.h"

namespace tallowmere {

struct KeyPairView {
  std::string_view namespace_name;
  std::string_view key;
};

struct SnapshotDiff {
  std::vector<KeyPairView> added;    // in `self`, not in `base`
  std::vector<KeyPairView> removed;  // in `base`, not in `self`
  std::vector<KeyPairView> changed;  // in both, with different encoded bytes
};

SnapshotDiff diff_snapshots(const SnapshotData& base, const SnapshotData& self);

}  // namespace tallowmere
