#include "backing_store/db_config.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace ombrix {
namespace {

TEST(DBConfigTest, AcceptedLocationNames) {
  EXPECT_EQ(MakeDBConfig("redis", std::nullopt, std::nullopt).location, REDIS);
  EXPECT_EQ(MakeDBConfig("postgres", std::nullopt, std::nullopt).location, POSTGRES);
  DBConfig memory = MakeDBConfig("memory", std::nullopt, std::nullopt);
  EXPECT_EQ(memory.location, MEMORY);
  EXPECT_FALSE(memory.table_name.has_value());
  EXPECT_FALSE(memory.connection_string.has_value());
  EXPECT_EQ(REDIS, 0);
  EXPECT_EQ(MEMORY, 1);
  EXPECT_EQ(POSTGRES, 2);
  EXPECT_EQ(NONE, 4);
}

TEST(DBConfigTest, AnyOtherTextIsRefusedByName) {
  for (const std::string text : {"Memory", "REDIS", "postgresql", "", " memory", "memory "}) {
    try {
      MakeDBConfig(text, std::nullopt, std::nullopt);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), "Unknown DB location: " + text);
    }
  }
}

TEST(DBConfigTest, OptionalsKeepTheirPresence) {
  DBConfig redis = MakeDBConfig("redis", std::nullopt, "host:127.0.0.1,port:6379");
  EXPECT_FALSE(redis.table_name.has_value());
  EXPECT_EQ(redis.connection_string, "host:127.0.0.1,port:6379");

  // An empty name is a name, not an absent one.
  DBConfig empty_name = MakeDBConfig("postgres", "", std::nullopt);
  ASSERT_TRUE(empty_name.table_name.has_value());
  EXPECT_EQ(*empty_name.table_name, "");

  DBConfig original = MakeDBConfig("postgres", "items", std::nullopt);
  DBConfig copy = original;
  EXPECT_EQ(copy.location, POSTGRES);
  EXPECT_EQ(copy.table_name, "items");
  EXPECT_FALSE(copy.connection_string.has_value());
}

}  // namespace
}  // namespace ombrix
