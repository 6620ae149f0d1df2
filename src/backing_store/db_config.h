// Where one store of an index lives: a backend Location plus, for PostgreSQL and Redis,
// a table name and a connection string. A plain value type, copied freely.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ombrix {

enum Location : int32_t { REDIS = 0, MEMORY = 1, POSTGRES = 2, NONE = 4 };

// The four stores every index opens; the store id of each is index id + kind.
enum StoreKind : int { INDEX = 0, CONFIG = 1, ITEMS = 2, DATA = 3 };

struct DBConfig {
  int32_t location = NONE;
  std::optional<std::string> table_name;
  std::optional<std::string> connection_string;
};

// "redis", "postgres" or "memory" (exact, case-sensitive).
// Throws std::invalid_argument "Unknown DB location: <text>" for anything else.
DBConfig MakeDBConfig(const std::string& location, std::optional<std::string> table_name,
                      std::optional<std::string> connection_string);

}  // namespace ombrix
