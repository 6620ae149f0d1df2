// What of a connection string must never be shown: the value of every setting whose name
// ends in "password" and the secret of a URI's "user:secret@", in each form the PostgreSQL
// and Redis connection strings take. Pure functions; safe on any thread.
#pragma once

#include <string>
#include <vector>

namespace ombrix_encrypted_index::internal::backing_store {

// The connection string as it may be logged, its secrets replaced by "***". The form is
// decided as libpq decides it: a URI only when the text starts with "postgresql://" or
// "postgres://"; otherwise "key=value" settings (quoted and backslash-escaped values) or
// Redis "key:value" pairs. URI parameter names are percent-decoded before they are
// judged. A URI found inside a value (a quoted dbname) or where a setting should be has
// its own secrets masked, and so has a connection string inside a quoted or escaped value
// or a URI's database name or parameter value (dbname='host=h password=secret'), which
// libpq takes as one value and a server may quote whole. An unencoded '/', '?' or '@' in a
// URI's secret widens what is masked rather than letting part of it through.
std::string MaskConnectionString(const std::string& connection_string);

// Every secret of the connection string in the forms a library's message can quote it:
// as written, unquoted and unescaped, percent-decoded (and for a secret inside a value,
// each of those as the value reads once decoded), and, for a URI's secret, the parts
// that an unencoded '@', '/', '?' or ':' splits it into (a parser reading the URI
// differently shows those as a host, port or database name). Empty texts are left out.
std::vector<std::string> ConnectionSecrets(const std::string& connection_string);

// `message` with every occurrence of each secret replaced by "***" (overlapping or
// adjacent occurrences become one "***"). An occurrence that runs on into a letter or
// digit on either side is part of a word, not a quotation, and stays.
std::string MaskSecrets(const std::string& message, const std::vector<std::string>& secrets);

}  // namespace ombrix_encrypted_index::internal::backing_store
