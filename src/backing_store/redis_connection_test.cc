#include "backing_store/redis_connection.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "backing_store/redis_keystore.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using Params = std::map<std::string, std::string>;

TEST(RedisConnectionString, SplitsPairsByteForByte) {
  EXPECT_EQ(ParseRedisConnectionString("host:localhost,port:700,db:0,ssl:true"),
            (Params{{"host", "localhost"}, {"port", "700"}, {"db", "0"}, {"ssl", "true"}}));
  EXPECT_EQ(ParseRedisConnectionString(""), Params{});
  // Blanks belong to the key or value they stand in.
  EXPECT_EQ(ParseRedisConnectionString("host:localhost, port:700,db: 0"),
            (Params{{"host", "localhost"}, {" port", "700"}, {"db", " 0"}}));
  // A value runs to the next ",", a key to the next ":".
  EXPECT_EQ(ParseRedisConnectionString("ca_path:/a:b,x,y:1"),
            (Params{{"ca_path", "/a:b"}, {"x,y", "1"}}));
}

TEST(RedisConnectionString, RepeatedAndIncompletePairs) {
  EXPECT_EQ(ParseRedisConnectionString("db:1,db:3"), (Params{{"db", "3"}}));
  EXPECT_EQ(ParseRedisConnectionString("host:h,port"), (Params{{"host", "h"}}));
  EXPECT_EQ(ParseRedisConnectionString("host:h,port:"), (Params{{"host", "h"}}));
  EXPECT_EQ(ParseRedisConnectionString("host:h,port:,db:0"),
            (Params{{"host", "h"}, {"port", ""}, {"db", "0"}}));
  EXPECT_EQ(ParseRedisConnectionString(":v,"), (Params{{"", "v"}}));
  EXPECT_EQ(ParseRedisConnectionString("host:h,"), (Params{{"host", "h"}}));
}

std::string EndpointError(const std::string& text) {
  try {
    ReadRedisEndpoint(ParseRedisConnectionString(text));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(RedisEndpoint, MissingKeysInOrder) {
  EXPECT_EQ(EndpointError("port:1,db:0"), "Missing Redis key: 'host'");
  EXPECT_EQ(EndpointError("db:0"), "Missing Redis key: 'host'");
  EXPECT_EQ(EndpointError("host:h,db:0"), "Missing Redis key: 'port'");
  EXPECT_EQ(EndpointError("host:localhost, port:700,db:0"), "Missing Redis key: 'port'");
  EXPECT_EQ(EndpointError("host:h,port:1"), "Missing Redis key: 'db'");
}

TEST(RedisEndpoint, DbMustBeOneWholeNumber) {
  EXPECT_EQ(ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:  3")).db, 3);
  EXPECT_EQ(ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:+4")).db, 4);
  EXPECT_EQ(EndpointError("host:h,port:1,db:3 "), "Invalid Redis DB value: 3 ");
  EXPECT_EQ(EndpointError("host:h,port:1,db:abc"), "Invalid Redis DB value (not a number): abc");
  EXPECT_EQ(EndpointError("host:h,port:1,db:,x:y"), "Invalid Redis DB value (not a number): ");
  EXPECT_EQ(EndpointError("host:h,port:1,db:12345678901"),
            "Invalid Redis DB value (out of range): 12345678901");
  // Range is judged before trailing characters.
  EXPECT_EQ(EndpointError("host:h,port:1,db:12345678901x"),
            "Invalid Redis DB value (out of range): 12345678901x");
  // db is checked before the port is read.
  EXPECT_EQ(EndpointError("host:h,port:zz,db:x"), "Invalid Redis DB value (not a number): x");
}

TEST(RedisEndpoint, PortFollowsStoiRules) {
  auto endpoint = ReadRedisEndpoint(ParseRedisConnectionString("host: h ,port: 700x,db:0"));
  EXPECT_EQ(endpoint.port, 700);
  EXPECT_EQ(endpoint.host, " h ");
  try {
    ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:abc,db:0"));
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "stoi");
  }
  try {
    ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:99999999999,db:0"));
    FAIL() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "stoi");
  }
}

TEST(RedisEndpoint, SslOnlyForTrueOrOne) {
  auto ssl = [](const std::string& value) {
    return ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:0,ssl:" + value)).ssl;
  };
  EXPECT_TRUE(ssl("true"));
  EXPECT_TRUE(ssl("1"));
  EXPECT_FALSE(ssl("TRUE"));
  EXPECT_FALSE(ssl("yes"));
  EXPECT_FALSE(ssl(" true"));
  EXPECT_FALSE(ssl("0"));
  EXPECT_FALSE(ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:0")).ssl);
}

TEST(RedisEndpoint, TlsFilesAndVerification) {
  auto endpoint = ReadRedisEndpoint(
      ParseRedisConnectionString("host:h,port:1,db:0,ssl:1,cert:c.crt,key:c.key,other:x"));
  EXPECT_EQ(endpoint.cert, "c.crt");
  EXPECT_EQ(endpoint.key, "c.key");
  EXPECT_FALSE(endpoint.verifies_server());
  EXPECT_TRUE(ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:0,ca_cert:a"))
                  .verifies_server());
  EXPECT_TRUE(ReadRedisEndpoint(ParseRedisConnectionString("host:h,port:1,db:0,ca_path:/d"))
                  .verifies_server());
}

TEST(RedisKeystoreConstruction, ConfigChecksComeBeforeAnyConnection) {
  ombrix::DBConfig config;
  config.location = ombrix::REDIS;
  config.connection_string = "host:h,port:1,db:0";
  for (int kind : {ombrix::INDEX, ombrix::CONFIG, ombrix::ITEMS, ombrix::DATA}) {
    try {
      RedisKeystore store(config, "idx", 1, kind);
      FAIL() << "no exception";
    } catch (const std::bad_optional_access& e) {
      EXPECT_STREQ(e.what(), "bad optional access");
    }
  }
  config.table_name = "t";
  config.connection_string.reset();
  try {
    RedisKeystore store(config, "idx", 1, ombrix::DATA);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Redis connection string not provided");
  }
  config.connection_string = "host:h,db:0";
  try {
    RedisKeystore store(config, "idx", 1, ombrix::DATA);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Missing Redis key: 'port'");
  }
}

TEST(RedisReplyTypeName, NamesOfLogLines) {
  EXPECT_STREQ(RedisReplyTypeName(REDIS_REPLY_STRING), "STRING");
  EXPECT_STREQ(RedisReplyTypeName(REDIS_REPLY_INTEGER), "INTEGER");
  EXPECT_STREQ(RedisReplyTypeName(REDIS_REPLY_NIL), "NIL");
  EXPECT_STREQ(RedisReplyTypeName(REDIS_REPLY_ERROR), "ERROR");
  EXPECT_STREQ(RedisReplyTypeName(99), "UNKNOWN");
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
