#include "encrypted_store/item_record.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "diagnostics/logger.h"

namespace ombrix {
namespace {

constexpr uint64_t kLengthFieldsSize = 8;  // metadata length, id length
constexpr uint64_t kListIdSize = 4;

void PutU32(std::vector<uint8_t>& out, uint64_t at, uint32_t value) {
  for (int b = 0; b < 4; ++b) out[at + b] = static_cast<uint8_t>(value >> (8 * b));
}

uint32_t GetU32(const std::vector<uint8_t>& in, uint64_t at) {
  return static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
         static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
}

void ReportMalformed(const std::vector<uint8_t>& record) {
  InternalLogger().error("Dropping malformed item record of " + std::to_string(record.size()) +
                         " bytes");
}

}  // namespace

bool ParseOrReportItemRecord(const std::vector<uint8_t>& record, ItemRecordView* view) {
  if (ParseItemRecord(record, view)) return true;
  ReportMalformed(record);
  return false;
}

bool ParseCompleteItemRecord(const std::vector<uint8_t>& record, uint64_t payload_size,
                             ItemRecordView* view, uint64_t* payload_width) {
  if (ParseItemRecord(record, view)) {
    const uint64_t rest = record.size() - view->payload_offset;
    const uint64_t width =
        payload_size != 0 ? payload_size : rest - std::min<uint64_t>(rest, view->metadata_length);
    if (rest >= width && rest - width == view->metadata_length) {
      *payload_width = width;
      return true;
    }
  }
  ReportMalformed(record);
  return false;
}

std::vector<uint8_t> EncodeItemRecord(std::string_view id, uint32_t list_id,
                                      const uint8_t* payload, uint64_t payload_size,
                                      std::string_view metadata) {
  const uint64_t payload_offset = kLengthFieldsSize + id.size() + kListIdSize;
  std::vector<uint8_t> record(payload_offset + payload_size + metadata.size());
  PutU32(record, 0, static_cast<uint32_t>(metadata.size()));
  PutU32(record, 4, static_cast<uint32_t>(id.size()));
  if (!id.empty()) std::memcpy(record.data() + kLengthFieldsSize, id.data(), id.size());
  PutU32(record, kLengthFieldsSize + id.size(), list_id);
  if (payload_size != 0) std::memcpy(record.data() + payload_offset, payload, payload_size);
  if (!metadata.empty()) {
    std::memcpy(record.data() + payload_offset + payload_size, metadata.data(), metadata.size());
  }
  return record;
}

bool ParseItemRecord(const std::vector<uint8_t>& record, ItemRecordView* view) {
  const uint64_t size = record.size();
  if (size < kLengthFieldsSize) return false;
  const uint64_t id_length = GetU32(record, 4);
  if (size - kLengthFieldsSize < id_length ||
      size - kLengthFieldsSize - id_length < kListIdSize) {
    return false;
  }
  view->metadata_length = GetU32(record, 0);
  view->id = std::string_view(reinterpret_cast<const char*>(record.data()) + kLengthFieldsSize,
                              id_length);
  view->list_id = GetU32(record, kLengthFieldsSize + id_length);
  view->payload_offset = kLengthFieldsSize + id_length + kListIdSize;
  return true;
}

void CopyRecordPayload(const std::vector<uint8_t>& record, const ItemRecordView& view,
                       uint64_t payload_size, uint8_t* out) {
  if (payload_size == 0) return;
  if (record.size() - view.payload_offset >= payload_size) {
    std::memcpy(out, record.data() + view.payload_offset, payload_size);
  } else {
    std::memset(out, 0, payload_size);
  }
}

std::string RecordMetadata(const std::vector<uint8_t>& record, const ItemRecordView& view,
                           uint64_t payload_size) {
  const uint64_t after_payload = record.size() - view.payload_offset;
  if (after_payload < payload_size || after_payload - payload_size < view.metadata_length) {
    return std::string();
  }
  const char* start =
      reinterpret_cast<const char*>(record.data()) + view.payload_offset + payload_size;
  return std::string(start, view.metadata_length);
}

std::vector<DecodedItem> DecodeItemRecords(const std::vector<std::vector<uint8_t>>& records,
                                           std::vector<std::vector<uint8_t>>& contents,
                                           uint64_t payload_size) {
  std::vector<DecodedItem> items;
  items.reserve(records.size());
  for (uint64_t i = 0; i < records.size(); ++i) {
    const std::vector<uint8_t>& record = records[i];
    ItemRecordView view;
    if (record.empty() || !ParseOrReportItemRecord(record, &view)) continue;
    DecodedItem item;
    item.id = std::string(view.id);
    item.payload.resize(payload_size);
    CopyRecordPayload(record, view, payload_size, item.payload.data());
    item.metadata = RecordMetadata(record, view, payload_size);
    if (i < contents.size() && !contents[i].empty()) item.contents = std::move(contents[i]);
    items.push_back(std::move(item));
  }
  return items;
}

CacheMissResult AssembleResults(const std::vector<std::vector<uint8_t>>& records,
                                uint64_t payload_size, std::vector<uint64_t>* kept) {
  std::vector<ItemRecordView> views(records.size());
  std::vector<uint64_t> rows;
  rows.reserve(records.size());
  for (uint64_t i = 0; i < records.size(); ++i) {
    if (!records[i].empty() && ParseOrReportItemRecord(records[i], &views[i])) rows.push_back(i);
  }
  if (payload_size == 0) {
    for (uint64_t i : rows) {
      const uint64_t after_header = records[i].size() - views[i].payload_offset;
      if (after_header > views[i].metadata_length) {
        payload_size = after_header - views[i].metadata_length;
        break;
      }
    }
  }

  CacheMissResult result;
  result.item_ids.reserve(rows.size());
  result.token_indices.reserve(rows.size());
  result.metadata.reserve(rows.size());
  if (payload_size != 0 && !rows.empty()) result.payloads = PayloadRows(rows.size(), payload_size);
  for (uint64_t r = 0; r < rows.size(); ++r) {
    const std::vector<uint8_t>& record = records[rows[r]];
    const ItemRecordView& view = views[rows[r]];
    result.item_ids.emplace_back(view.id);
    result.token_indices.push_back(view.list_id);
    if (payload_size != 0) CopyRecordPayload(record, view, payload_size, result.payloads.row(r));
    result.metadata.push_back(RecordMetadata(record, view, payload_size));
  }
  if (kept != nullptr) *kept = std::move(rows);
  return result;
}

}  // namespace ombrix
