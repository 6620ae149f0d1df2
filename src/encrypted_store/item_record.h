// The item record: the plaintext of every data-store value, and its readers.
// Layout, integers uint32 little-endian: metadata length m, id length k, k id bytes,
// list id, payload (the index's payload size p), m metadata bytes; 12 + k + p + m bytes.
// Records come from storage, so every reader checks bounds before it reads.
// Stateless functions; safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index_model/cache_miss_result.h"

namespace ombrix {

// REQUIRES: id and metadata are at most 4294967295 bytes; payload has payload_size bytes.
std::vector<uint8_t> EncodeItemRecord(std::string_view id, uint32_t list_id,
                                      const uint8_t* payload, uint64_t payload_size,
                                      std::string_view metadata);

// The fixed part of a record, pointing into the record it was read from.
struct ItemRecordView {
  uint32_t metadata_length = 0;
  std::string_view id;
  uint32_t list_id = 0;
  uint64_t payload_offset = 0;  // 12 + id length
};

// False when the record is too short for its two length fields, its id and its list id.
bool ParseItemRecord(const std::vector<uint8_t>& record, ItemRecordView* view);

// Copies the payload_size payload bytes to out, or zeroes out when the record ends first.
void CopyRecordPayload(const std::vector<uint8_t>& record, const ItemRecordView& view,
                       uint64_t payload_size, uint8_t* out);

// The metadata text, or an empty text when the record ends before it does.
std::string RecordMetadata(const std::vector<uint8_t>& record, const ItemRecordView& view,
                           uint64_t payload_size);

// ParseItemRecord that logs a malformed record at ERROR.
bool ParseOrReportItemRecord(const std::vector<uint8_t>& record, ItemRecordView* view);

// True when the record's length is exactly its header, id, payload and metadata; the
// payload width is payload_size, or, when that is 0, what the record leaves for it.
// A record that fails is logged at ERROR. Sets *payload_width on success.
bool ParseCompleteItemRecord(const std::vector<uint8_t>& record, uint64_t payload_size,
                             ItemRecordView* view, uint64_t* payload_width);

// Which fields of an item a reader wants besides its id.
struct ItemFields {
  bool vector = true;
  bool contents = true;
  bool metadata = true;
};

struct DecodedItem {
  std::string id;
  std::string metadata;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> contents;
};

// One item per record that parses, in record order; an empty record (a missing item)
// is skipped and a malformed one is skipped with an ERROR line. contents[i] is moved
// into the item of record i when it exists; contents may be shorter than records.
std::vector<DecodedItem> DecodeItemRecords(const std::vector<std::vector<uint8_t>>& records,
                                           std::vector<std::vector<uint8_t>>& contents,
                                           uint64_t payload_size);

// One row per record that parses, in record order; token_indices holds the list id each
// record names. Empty and malformed records give no row; when kept is given it receives
// the record index of every row. payload_size 0 takes the width from the first
// well-formed record with payload bytes.
CacheMissResult AssembleResults(const std::vector<std::vector<uint8_t>>& records,
                                uint64_t payload_size, std::vector<uint64_t>* kept = nullptr);

}  // namespace ombrix
