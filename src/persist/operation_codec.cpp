#include "persist/operation_codec.h"

#include "common/fault.h"
#include "persist/payload.h"

namespace tallowmere::persist {

void append_operations(std::string& out, std::span<const Operation> operations) {
  append_varint(out, operations.size());
  for (const Operation& op : operations) {
    out.push_back(static_cast<char>(op.kind));
    switch (op.kind) {
      case OperationKind::kSet:
        append_text(out, op.first);
        append_text(out, op.second);
        append_text(out, op.value.bytes());
        break;
      case OperationKind::kDeleteKey:
      case OperationKind::kCopyNamespace:
        append_text(out, op.first);
        append_text(out, op.second);
        break;
      case OperationKind::kDeleteNamespace:
        append_text(out, op.first);
        break;
      case OperationKind::kClear:
        break;
    }
  }
}

std::vector<Operation> decode_operations(std::string_view payload, std::uint64_t offset, OperationSet allowed) {
  SourceReader in(payload, offset);
  in.begin_payload(payload.size());
  const std::uint64_t count = in.count();
  std::vector<Operation> operations;
  fault::fault_point();
  operations.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = in.offset();
    const auto kind = static_cast<OperationKind>(in.byte());
    const bool delta_kind = kind == OperationKind::kSet || kind == OperationKind::kDeleteKey;
    if (!delta_kind && (allowed == OperationSet::kDelta || kind < OperationKind::kDeleteNamespace ||
                        kind > OperationKind::kClear)) {
      throw Damage{at, "unknown operation"};
    }
    Operation op{kind, {}, {}, {}};
    if (kind != OperationKind::kClear) op.first = in.name();
    if (kind == OperationKind::kSet || kind == OperationKind::kDeleteKey || kind == OperationKind::kCopyNamespace) {
      op.second = in.name();
    }
    if (kind == OperationKind::kSet) op.value = in.value();
    operations.push_back(std::move(op));
  }
  if (in.payload_remaining() != 0) in.fail("bytes follow the last operation of the record");
  return operations;
}

}  // namespace tallowmere::persist
