// The trained ingest road's metadata step: the batch's metadata folded into the stored
// per-field, per-list summaries that pre-filtering reads.
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "index/centroid_summaries.h"
#include "index/encrypted_index.h"
#include "index/metadata_filter.h"
#include "index/summary_store.h"

namespace ombrix {

void EncryptedIndex::UpdateMetadata(const std::vector<std::string>& metadata, const ItemBatch& batch) {
  UpdateMetadata(metadata, batch, /*replace=*/false);
}

void EncryptedIndex::UpdateMetadata(const std::vector<std::string>& metadata, const ItemBatch& batch,
                                    bool replace) {
  OperationLock lock(*this);
  log().info("UpdateMetadata");
  if (!core) RefuseNotConnected<std::runtime_error>(kCritical);
  // Text i is summarised under list i: a shorter or longer vector would file texts under
  // other items' lists.
  if (metadata.size() != batch.input_tokens.size()) {
    throw std::invalid_argument("Mismatch between the number of metadata texts (" +
                                std::to_string(metadata.size()) + ") and items (" +
                                std::to_string(batch.input_tokens.size()) + ").");
  }
  FieldSummaries fresh;
  std::set<std::string> paths;
  for (size_t i = 0; i < metadata.size(); ++i) {
    const std::string& text = metadata[i];
    if (text.find_first_not_of(" \t\n\r") == std::string::npos) continue;
    nlohmann::json document;
    try {
      document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& failure) {
      // Syntax errors and numbers beyond a double alike: the item stays stored, only its
      // summary is missing, and post-filtering refuses the same text anyway.
      log().warning("Skipping invalid JSON metadata at index " + std::to_string(i) + ": " + failure.what() +
                    " (content: '" + text + "')");
      continue;
    }
    // The builder walks documents recursively: no deeper than the filter language's limit,
    // which the Python road already enforces on the way in.
    if (ExceedsNestingDepth(document)) {
      log().warning("Skipping invalid JSON metadata at index " + std::to_string(i) +
                    ": nesting exceeds the maximum depth of " + std::to_string(kMaxNestingDepth) +
                    " (content: '" + text + "')");
      continue;
    }
    buildCentroidSummaries(document, paths, batch.input_tokens[i], fresh, "");
  }
  if (paths.empty()) {
    log().info("No valid metadata found to update, skipping metadata update");
    return;
  }
  MergeIntoStoredSummaries(*core, fresh, std::vector<std::string>(paths.begin(), paths.end()),
                           replace ? SummaryWrite::kReplace : SummaryWrite::kMerge);
}

void EncryptedIndex::StoreBatchSummaries(const ItemBatch& batch, bool replace) {
  bool any = false;
  for (const std::string& text : batch.metadata) any = any || !text.empty();
  if (!any) return;
  try {
    UpdateMetadata(batch.metadata, batch, replace);
  } catch (const std::exception& failure) {
    const std::string message = std::string("Error updating metadata: ") + failure.what();
    log().critical(message);
    throw MetadataUpdateError(message);
  }
}

}  // namespace ombrix
