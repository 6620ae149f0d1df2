#include "backing_store/connection_secrets.h"

#include <gtest/gtest.h>

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

// Messages as libpq words them for each connection string (seen with libpq 15 and 16).
TEST(MaskSecrets, WhatLibpqQuotesOfAConnectionString) {
  const struct {
    const char* connection_string;
    const char* message;
    const char* shown;
  } cases[] = {
      // An unencoded '@' in the secret: libpq ends the password at the first one, so the
      // rest of the secret becomes part of the host name.
      {"postgresql://u:p@ss@nohost/db",
       "could not translate host name \"ss@nohost\" to address: Name or service not known",
       "could not translate host name \"***@nohost\" to address: Name or service not known"},
      // An unencoded '/': the user part becomes host and port, the rest the database.
      {"postgresql://u:p/ss@127.0.0.1/db", "invalid integer value \"p\" for connection option \"port\"",
       "invalid integer value \"***\" for connection option \"port\""},
      {"postgresql://u:p/ss@127.0.0.1/db", "FATAL:  database \"ss@127.0.0.1/db\" does not exist",
       "FATAL:  database \"***@127.0.0.1/db\" does not exist"},
      // A quoted dbname is taken literally, URI and all.
      {"host=127.0.0.1 dbname='postgresql://u:secret@h/db' user=x",
       "FATAL:  database \"postgresql://u:secret@h/db\" does not exist",
       "FATAL:  database \"postgresql://u:***@h/db\" does not exist"},
      {"POSTGRESQL://u:secret@h/db",
       "missing \"=\" after \"POSTGRESQL://u:secret@h/db\" in connection info string",
       "missing \"=\" after \"POSTGRESQL://u:***@h/db\" in connection info string"},
      // The forms libpq reads: percent-decoded, unquoted and unescaped.
      {"postgresql://u:pa%40ss@h/db", "role \"pa@ss\"", "role \"***\""},
      {"postgresql://u@h/db?%70assword=s%20t", "value \"s t\" and \"s%20t\"",
       "value \"***\" and \"***\""},
      {"password='a b\\' c' host=h", "saw a b' c here", "saw *** here"},
      {"host:h,port:1,db:0,password:pw", "error: pw", "error: ***"},
      // Nothing secret: nothing changes.
      {"host=127.0.0.1 port=1 user=p", "connection to server at \"127.0.0.1\", port 1 failed",
       "connection to server at \"127.0.0.1\", port 1 failed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskSecrets(c.message, ConnectionSecrets(c.connection_string)), c.shown)
        << c.connection_string;
  }
}

// A whole connection string put where one value goes: libpq takes it as that value (a
// database name here) and the server quotes it back whole. Its passwords are masked in
// the logged connection string and in the server's words alike.
TEST(MaskConnectionString, PasswordsOfAConnectionStringInsideAValue) {
  const struct {
    const char* given;
    const char* logged;
    const char* dbname;  // as the server reads and quotes it
    const char* dbname_shown;
  } cases[] = {
      {"host=h dbname='dbname=d password=SECRET' user=u", "host=h dbname='dbname=d password=***' user=u",
       "dbname=d password=SECRET", "dbname=d password=***"},
      {"dbname='password=SECRET'", "dbname='password=***'", "password=SECRET", "password=***"},
      {R"(dbname = 'host=h password=\'SE CRET\' port=1')", "dbname = 'host=h password=*** port=1'",
       "host=h password='SE CRET' port=1", "host=h password=*** port=1"},
      {R"(dbname=d\ sslpassword=SECRET host=h)", R"(dbname=d\ sslpassword=*** host=h)", "d sslpassword=SECRET",
       "d sslpassword=***"},
      {R"(dbname='application_name=\'password=SECRET\'')", R"(dbname='application_name=\'password=***\'')",
       "application_name='password=SECRET'", "application_name='password=***'"},
      {"dbname='host=h password=' user=u", "dbname='host=h password=***' user=u", "host=h password=",
       "host=h password="},
      {"postgresql://u@h/d%20password%3DSECRET", "postgresql://u@h/d%20password%3D***", "d password=SECRET",
       "d password=***"},
      {"postgresql://u@h?dbname=d%20password=SECRET&sslmode=disable",
       "postgresql://u@h?dbname=d%20password=***&sslmode=disable", "d password=SECRET", "d password=***"},
      // Nothing secret inside, or a plain value that means itself: nothing changes.
      {"dbname='host=h port=1' user=u", "dbname='host=h port=1' user=u", "host=h port=1", "host=h port=1"},
      {"user=password=x host=db", "user=password=x host=db", "password=x", "password=x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MaskConnectionString(c.given), c.logged) << c.given;
    const std::string quoted = "FATAL:  database \"" + std::string(c.dbname) + "\" does not exist";
    EXPECT_EQ(MaskSecrets(quoted, ConnectionSecrets(c.given)),
              "FATAL:  database \"" + std::string(c.dbname_shown) + "\" does not exist")
        << c.given;
  }
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
