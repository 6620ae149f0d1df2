#include "backing_store/db_config.h"

#include <stdexcept>
#include <utility>

#include "diagnostics/logger.h"

namespace ombrix {

DBConfig MakeDBConfig(const std::string& location, std::optional<std::string> table_name,
                      std::optional<std::string> connection_string) {
  DBConfig config;
  if (location == "redis") {
    config.location = REDIS;
  } else if (location == "postgres") {
    config.location = POSTGRES;
  } else if (location == "memory") {
    config.location = MEMORY;
  } else {
    throw std::invalid_argument("Unknown DB location: " + EscapeInvalidUtf8(location));
  }
  config.table_name = std::move(table_name);
  config.connection_string = std::move(connection_string);
  return config;
}

}  // namespace ombrix
