#include "index/operation_rules.h"

#include <gtest/gtest.h>

#include <limits>

namespace ombrix {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

TEST(AutomaticProbeCount, RoundsUpAndStartsAtOneForAnEmptyIndex) {
  EXPECT_EQ(AutomaticProbeCount(10, 64, 100000), 1u);
  EXPECT_EQ(AutomaticProbeCount(10, 64, 1000), 52u);  // ceil(51200 / 1000)
  EXPECT_EQ(AutomaticProbeCount(10, 64, 0), 1u);
  EXPECT_EQ(AutomaticProbeCount(10, 64, 51200), 1u);
  EXPECT_EQ(AutomaticProbeCount(10, 64, 51199), 2u);
  EXPECT_EQ(AutomaticProbeCount(0, 64, 5), 0u);
}

TEST(AutomaticProbeCount, SaturatesInsteadOfWrapping) {
  // 80 * top_k * n_lists wraps 64 bits: the wrapped formula would ask for very few lists.
  EXPECT_EQ(AutomaticProbeCount(uint64_t{1} << 58, 8, uint64_t{1} << 20), uint64_t{640} << 38);
  EXPECT_EQ(AutomaticProbeCount(kMax / 40, 8, 1), kMax);
  EXPECT_EQ(AutomaticProbeCount(kMax, kMax, 1), kMax);
  EXPECT_EQ(AutomaticProbeCount(kMax, kMax, kMax), kMax);
  EXPECT_EQ(AutomaticProbeCount(uint64_t{1} << 40, uint64_t{1} << 30, uint64_t{1} << 62), 20480u);
}

TEST(AutomaticListCount, LargestPowerOfTwoOfThousands) {
  EXPECT_EQ(AutomaticListCount(0), 0u);
  EXPECT_EQ(AutomaticListCount(999), 0u);
  EXPECT_EQ(AutomaticListCount(1000), 1u);
  EXPECT_EQ(AutomaticListCount(1999), 1u);
  EXPECT_EQ(AutomaticListCount(9999), 8u);
  EXPECT_EQ(AutomaticListCount(10000), 8u);
  EXPECT_EQ(AutomaticListCount(16000), 16u);
  EXPECT_EQ(AutomaticListCount(32768), 32u);
  EXPECT_EQ(AutomaticListCount(40000), 32u);
  EXPECT_EQ(AutomaticListCount(kMax), uint64_t{1} << 54);
}

TEST(IsNoFilter, EmptyNullAndEmptyContainersOnly) {
  for (const char* text : {"", "null", "{}", "[]", " { } ", "[\n]"}) {
    EXPECT_TRUE(IsNoFilter(text)) << text;
  }
  for (const char* text : {"{\"a\": 1}", "[1]", "0", "\"\"", "{bad", "nul", "{} {}", "  ", "\n\t"}) {
    EXPECT_FALSE(IsNoFilter(text)) << text;
  }
}

TEST(MaskConnectionString, EveryPasswordSettingAndUriSecret) {
  const struct {
    const char* given;
    const char* logged;
  } cases[] = {
      // libpq key=value
      {"host=db port=5432 password=s3cret dbname=x", "host=db port=5432 password=*** dbname=x"},
      {"password = 'a b\\' c' user=u", "password = *** user=u"},
      {"PASSWORD=x", "PASSWORD=***"},
      {"host=db sslpassword=k3y sslmode=verify-full",
       "host=db sslpassword=*** sslmode=verify-full"},
      {"sslpassword='key pass' password=a\\ b user=u", "sslpassword=*** password=*** user=u"},
      {"host=db password=a,b user=u", "host=db password=*** user=u"},
      {"host=db passfile=/p user=password", "host=db passfile=/p user=password"},
      {"user=password=x host=db", "user=password=x host=db"},
      {"host=db", "host=db"},
      {"", ""},
      // Redis key:value
      {"host:127.0.0.1,password:pw,port:6379", "host:127.0.0.1,password:***,port:6379"},
      {"host:h,ssl:true,key:/k,sslpassword:pw", "host:h,ssl:true,key:/k,sslpassword:***"},
      // URIs
      {"postgresql://me:secret@db:5432/x", "postgresql://me:***@db:5432/x"},
      {"postgresql://me@db/x?password=secret&sslmode=require",
       "postgresql://me@db/x?password=***&sslmode=require"},
      {"postgresql://me@db/x?sslmode=require&sslpassword=secret",
       "postgresql://me@db/x?sslmode=require&sslpassword=***"},
      {"postgres://me:pw@db/x?SSLPassword=k&application_name=password",
       "postgres://me:***@db/x?SSLPassword=***&application_name=password"},
      {"postgresql://me:se/cr?et@db/x", "postgresql://me:***@db/x"},
      {"postgresql://me:s@cret@db/x?sslpassword=k", "postgresql://me:***@db/x?sslpassword=***"},
      {"postgresql://db/x", "postgresql://db/x"},
      {"postgresql://db:5432", "postgresql://db:5432"},
      {"postgresql://a:b@c:d@db/x", "postgresql://a:***@db/x"},
      // The form is libpq's: a URI only from the first byte, so a "://" in a value leaves
      // the settings form (and its passwords) in place.
      {"host=db password=hunter2 application_name=a://b",
       "host=db password=*** application_name=a://b"},
      {"host:h,port:6379,db:0,password:pw,x:a://b", "host:h,port:6379,db:0,password:***,x:a://b"},
      // libpq decodes parameter names.
      {"postgresql://u@h/db?%70assword=x", "postgresql://u@h/db?%70assword=***"},
      {"postgresql://u@h/db?ssl%50ASSWORD=k&sslmode=require",
       "postgresql://u@h/db?ssl%50ASSWORD=***&sslmode=require"},
      {"postgresql://u@h/db?%7password=x", "postgresql://u@h/db?%7password=***"},
      // A URI inside a value, or where a setting should be, keeps its secret too.
      {"host=h dbname='postgresql://u:secret@h/db' user=me",
       "host=h dbname='postgresql://u:***@h/db' user=me"},
      {"POSTGRESQL://u:secret@h/db", "POSTGRESQL://u:***@h/db"},
      {" postgresql://u:secret@h/db", " postgresql://u:***@h/db"},
      {"postgresql://u@h/db?dbname=postgres://v:secret@g/x&password=p",
       "postgresql://u@h/db?dbname=postgres://v:***@g/x&password=***"},
  };
  for (const auto& c : cases) EXPECT_EQ(MaskConnectionString(c.given), c.logged) << c.given;
}

TEST(TeamSizeFor, NegativeAndZeroKeepTheRuntimeDefault) {
  EXPECT_EQ(TeamSizeFor(4), 4);
  EXPECT_EQ(TeamSizeFor(std::nullopt), 1);
  EXPECT_EQ(TeamSizeFor(0), std::nullopt);
  EXPECT_EQ(TeamSizeFor(-1), std::nullopt);
  EXPECT_EQ(TeamSizeFor(std::numeric_limits<int32_t>::min()), std::nullopt);
}

TEST(TelemetryCount, SaturatesAtInt32) {
  EXPECT_EQ(TelemetryCount(3, 5), 15);
  EXPECT_EQ(TelemetryCount(uint64_t{1} << 31), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(TelemetryCount(kMax, kMax), std::numeric_limits<int32_t>::max());
}

}  // namespace
}  // namespace ombrix
