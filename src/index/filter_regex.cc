#include "index/filter_regex.h"

#include <re2/re2.h>

#include <stdexcept>

#include "diagnostics/logger.h"

namespace ombrix {

RegexCache::RegexCache() = default;
RegexCache::~RegexCache() = default;

bool RegexCache::Search(const std::string& pattern, const std::string& text) {
  auto found = compiled_.find(pattern);
  if (found == compiled_.end()) {
    RE2::Options options;
    options.set_log_errors(false);  // the error is reported once, below, through our logger
    auto compiled = std::make_unique<RE2>(pattern, options);
    if (!compiled->ok()) {
      const std::string message =
          "Invalid regex pattern: " + pattern + "\nError: " + compiled->error();
      ActiveLogger().critical(message);
      throw std::invalid_argument(message);
    }
    found = compiled_.emplace(pattern, std::move(compiled)).first;
  }
  return RE2::PartialMatch(text, *found->second);
}

}  // namespace ombrix
