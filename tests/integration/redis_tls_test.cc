// The Redis keystore over TLS, against the TLS-only Redis of scripts/services.sh and the
// certificates in OMBRIX_TEST_TLS_DIR (ca.*, server.*, client.*, and other-ca.*, a CA that
// signed nothing the server holds).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "backing_store/keystore_contract_test.h"
#include "backing_store/redis_keystore.h"
#include "backing_store/testing/log_capture.h"
#include "redis_test_support.h"

namespace ombrix_encrypted_index::internal::backing_store {
namespace {

using ombrix::testing_support::ScopedLogCapture;
using ombrix_test::RandomU64;
using ombrix_test::UniqueName;
using Bytes = std::vector<uint8_t>;

struct RedisTlsStores {
  static std::unique_ptr<Keystore> Make() {
    return ombrix_test::ContractStore("OMBRIX_TEST_REDIS_TLS");
  }
};
INSTANTIATE_TYPED_TEST_SUITE_P(RedisTls, KeystoreContractTest, RedisTlsStores);

class RedisTlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OMBRIX_REQUIRE_ENV(location, "OMBRIX_TEST_REDIS_TLS");
    OMBRIX_REQUIRE_ENV(tls_dir, "OMBRIX_TEST_TLS_DIR");
    location_ = location + ",db:0";
    dir_ = tls_dir;
    auto params = ParseRedisConnectionString(location);
    bare_ = "host:" + params["host"] + ",port:" + params["port"] + ",db:0";
    config_.location = ombrix::REDIS;
    config_.table_name = UniqueName("ombrix_test_config");
  }

  // Constructs a keystore from the connection string and returns the error text, or
  // "connected" after a round trip through the store.
  std::string Connect(const std::string& connection_string) {
    ombrix::DBConfig config = config_;
    config.connection_string = connection_string;
    try {
      RedisKeystore store(config, "idx", RandomU64(), ombrix::DATA);
      store.PushItem(1, Bytes{0, 1, 2});
      bool same = store.GetItem(1) == Bytes{0, 1, 2};
      store.DeleteIndex();
      return same ? "connected" : "round trip lost the value";
    } catch (const std::exception& e) {
      return e.what();
    }
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  std::string location_;  // the right CA, as services.sh gives it
  std::string bare_;      // host, port and db only
  std::filesystem::path dir_;
  ombrix::DBConfig config_;
};

const std::string kRefused = "SSL configuration failed: Failed to initiate SSL connection to Redis";
// The refusal with OpenSSL's reason for it.
const std::string kUnknownCa = kRefused + ": self-signed certificate in certificate chain";
const std::string kOtherHost = kRefused + ": hostname mismatch";
const std::string kOtherAddress = kRefused + ": IP address mismatch";
const std::string kNoContext = "SSL configuration failed: Failed to create Redis SSL context: ";

TEST_F(RedisTlsTest, KeystoreOverTlsWithTheRightCa) {
  ombrix::DBConfig config = config_;
  config.connection_string = location_;
  RedisKeystore index(config, "idx", RandomU64(), ombrix::INDEX);
  RedisKeystore settings(config, "idx", RandomU64(), ombrix::CONFIG);
  Bytes every_byte(256);
  for (int i = 0; i < 256; ++i) every_byte[i] = static_cast<uint8_t>(i);
  index.BatchPushVariable({1, 2}, {every_byte, Bytes{0}});
  EXPECT_EQ(index.BatchGetVariable({2, 3, 1}), (std::vector<Bytes>{Bytes{0}, Bytes{}, every_byte}));
  EXPECT_TRUE(index.PushMap(UINT64_MAX, every_byte, 42, 0));
  EXPECT_EQ(index.GetMap(UINT64_MAX, 42).version, 1u);
  settings.PushConfigItem("idx.oei", every_byte);
  EXPECT_EQ(settings.LoadConfigItem("idx.oei"), every_byte);
  index.DeleteIndex();
  settings.DeleteIndex();
}

// The connection that replaces a broken one is verified with the same CA and carries the
// same client certificate.
TEST_F(RedisTlsTest, AfterARestartTheConnectionComesBackOverTls) {
  ombrix_test::OwnRedisServer server({"--tls-cert-file", File("server.crt"), "--tls-key-file",
                                      File("server.key"), "--tls-ca-cert-file", File("ca.crt"),
                                      "--tls-auth-clients", "yes"},
                                     /*tls=*/true);
  ASSERT_TRUE(server.running());
  ombrix::DBConfig config = config_;
  config.connection_string = server.location() + ",db:0,ssl:true,ca_cert:" + File("ca.crt") +
                             ",cert:" + File("client.crt") + ",key:" + File("client.key");
  RedisKeystore store(config, "idx", RandomU64(), ombrix::DATA);
  store.PushItem(1, Bytes{1});
  server.Restart();
  store.PushItem(2, Bytes{2});
  EXPECT_EQ(store.BatchGetVariable({1, 2}), (std::vector<Bytes>{Bytes{}, Bytes{2}}));
}

TEST_F(RedisTlsTest, ClientCertificateAndCaPath) {
  EXPECT_EQ(Connect(location_ + ",cert:" + File("client.crt") + ",key:" + File("client.key")),
            "connected");
  // A CA directory verifies as a CA file does.
  std::filesystem::path right = std::filesystem::temp_directory_path() / UniqueName("ombrix_ca");
  std::filesystem::path wrong = std::filesystem::temp_directory_path() / UniqueName("ombrix_ca");
  std::filesystem::create_directories(right);
  std::filesystem::create_directories(wrong);
  std::filesystem::copy_file(File("ca.crt"), right / "ca.crt");
  std::filesystem::copy_file(File("other-ca.crt"), wrong / "other-ca.crt");
  ombrix_test::Shell("openssl rehash " + right.string() + " " + wrong.string() + " 2>/dev/null");
  EXPECT_EQ(Connect(bare_ + ",ssl:1,ca_path:" + right.string()), "connected");
  EXPECT_EQ(Connect(bare_ + ",ssl:1,ca_path:" + wrong.string()), kUnknownCa);
  std::filesystem::remove_all(right);
  std::filesystem::remove_all(wrong);
}

TEST_F(RedisTlsTest, ServerCertificateFromAnotherCaIsRefused) {
  EXPECT_EQ(Connect(bare_ + ",ssl:true,ca_cert:" + File("other-ca.crt")), kUnknownCa);
}

// A certificate from the right CA proves nothing unless it names the host that was dialled:
// servers of this test present certificates of the test CA issued to other names.
TEST_F(RedisTlsTest, TheCertificateMustNameTheHost) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / UniqueName("ombrix_certs");
  std::filesystem::create_directories(dir);
  auto issue = [&](const std::string& name, const std::string& alt_names) {
    std::string base = (dir / name).string();
    ombrix_test::Shell("openssl req -newkey rsa:2048 -nodes -subj /CN=" + name + " -keyout " +
                       base + ".key -out " + base + ".csr 2>/dev/null && printf 'subjectAltName=" +
                       alt_names + "\n' > " + base + ".ext && openssl x509 -req -in " + base +
                       ".csr -CA " + File("ca.crt") + " -CAkey " + File("ca.key") +
                       " -CAcreateserial -CAserial " + base + ".srl -days 1 -extfile " + base +
                       ".ext -out " + base + ".crt 2>/dev/null");
    return base;
  };
  auto serve = [&](const std::string& base) {
    return std::make_unique<ombrix_test::OwnRedisServer>(
        std::vector<std::string>{"--tls-cert-file", base + ".crt", "--tls-key-file", base + ".key",
                                 "--tls-ca-cert-file", File("ca.crt"), "--tls-auth-clients", "no"},
        /*tls=*/true);
  };
  auto elsewhere = serve(issue("elsewhere", "DNS:elsewhere.invalid,IP:10.9.8.7"));
  std::filesystem::path cas = dir / "cas";
  std::filesystem::create_directories(cas);
  std::filesystem::copy_file(File("ca.crt"), cas / "ca.crt");
  ombrix_test::Shell("openssl rehash " + cas.string() + " 2>/dev/null");
  auto address_only = serve(issue("address", "IP:127.0.0.1"));
  auto name_only = serve(issue("name", "DNS:localhost"));

  const std::string ca = ",ssl:true,ca_cert:" + File("ca.crt");
  const struct {
    const ombrix_test::OwnRedisServer& server;
    std::string host;
    std::string tls;
    std::string outcome;
  } cases[] = {
      {*elsewhere, "127.0.0.1", ca, kOtherAddress},
      {*elsewhere, "localhost", ca, kOtherHost},
      {*elsewhere, "127.0.0.1", ",ssl:true,ca_path:" + cas.string(), kOtherAddress},
      {*address_only, "127.0.0.1", ca, "connected"},
      {*address_only, "127.0.0.1", ",ssl:true,ca_path:" + cas.string(), "connected"},
      {*address_only, "localhost", ca, kOtherHost},
      {*name_only, "localhost", ca, "connected"},
      {*name_only, "127.0.0.1", ca, kOtherAddress},
      // Unverified sessions check nothing, the name included.
      {*elsewhere, "127.0.0.1", ",ssl:true", "connected"},
  };
  for (const auto& c : cases) {
    const std::string port = std::to_string(c.server.port());
    EXPECT_EQ(Connect("host:" + c.host + ",port:" + port + ",db:0" + c.tls), c.outcome)
        << c.host << c.tls << " on port " << c.server.port();
  }
  elsewhere.reset();
  address_only.reset();
  name_only.reset();
  std::filesystem::remove_all(dir);
}

TEST_F(RedisTlsTest, WithoutCaTheServerIsNotVerifiedAndThatIsSaid) {
  ScopedLogCapture log;
  EXPECT_EQ(Connect(bare_ + ",ssl:true"), "connected");
  std::vector<std::string> lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.rfind("WARNING TLS connection to Redis at 127.0.0.1:", 0) == 0 &&
                                   line.find("does not verify the server's certificate") !=
                                       std::string::npos;
                          }),
            1);
}

TEST_F(RedisTlsTest, UnusableFilesGiveTheLibraryText) {
  EXPECT_EQ(Connect(bare_ + ",ssl:true,ca_cert:/nonexistent/ca.crt"),
            kNoContext + redisSSLContextGetError(REDIS_SSL_CTX_CA_CERT_LOAD_FAILED));
  EXPECT_EQ(Connect(location_ + ",cert:/nonexistent/c.crt,key:" + File("client.key")),
            kNoContext + redisSSLContextGetError(REDIS_SSL_CTX_CLIENT_CERT_LOAD_FAILED));
  EXPECT_EQ(Connect(location_ + ",cert:" + File("client.crt") + ",key:/nonexistent/c.key"),
            kNoContext + redisSSLContextGetError(REDIS_SSL_CTX_PRIVATE_KEY_LOAD_FAILED));
  EXPECT_EQ(Connect(location_ + ",cert:" + File("client.crt")),
            kNoContext + redisSSLContextGetError(REDIS_SSL_CTX_CERT_KEY_REQUIRED));
}

TEST_F(RedisTlsTest, PlainClientOnTheTlsPortFailsAtSelect) {
  std::string error = Connect(bare_ + ",ssl:TRUE");
  EXPECT_EQ(error.rfind("Failed to select Redis database (db=0): ", 0), 0u) << error;
}

}  // namespace
}  // namespace ombrix_encrypted_index::internal::backing_store
