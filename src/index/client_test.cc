#include "index/client.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ombrix {
namespace {

DBConfig Memory() { return DBConfig{MEMORY, std::nullopt, std::nullopt}; }

std::array<uint8_t, 32> Key() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i + 1);
  return key;
}

Client MemoryClient() { return Client("key", Memory(), Memory(), Memory(), 0, false, ""); }

std::string CreateError(Client& client, const std::string& name, const std::array<uint8_t, 32>& key,
                        const IndexConfig& config, std::optional<DistanceMetric> metric = std::nullopt) {
  try {
    client.CreateIndex(name, key, config, std::nullopt, metric, nullptr);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(ClientTest, KeepsWhatItWasGiven) {
  Client client("key", Memory(), Memory(), Memory(), 12345, true, "/some/dir");
  EXPECT_EQ(client.cpu_threads(), 12345);
  EXPECT_FALSE(client.gpu_enabled());
  EXPECT_EQ(client.working_dir(), "/some/dir");
  EXPECT_NE(client.telemetry(), nullptr);
  EXPECT_FALSE(MemoryClient().working_dir().has_value());
}

TEST(ClientTest, CreateIndexRefusesBadRequests) {
  Client client = MemoryClient();
  const IndexIVFFlat config(4);
  EXPECT_EQ(CreateError(client, std::string(256, 'n'), Key(), config),
            "Index name cannot be longer than 255 characters.");
  EXPECT_EQ(CreateError(client, "", Key(), config), "Index name cannot be an empty string.");
  EXPECT_EQ(CreateError(client, std::string("a\0b", 3), Key(), config),
            "Index name cannot contain NUL characters.");
  EXPECT_EQ(CreateError(client, "k", std::array<uint8_t, 32>{}, config), "Index key cannot be an empty array.");

  IndexIVFFlat no_lists(4);
  no_lists.set_n_lists(0);
  EXPECT_EQ(CreateError(client, "k", Key(), no_lists), "n_lists cannot be 0.");
  IndexIVFFlat other_type(4);
  other_type.index_type = 7;
  EXPECT_NE(CreateError(client, "k", Key(), other_type), "no error");
  IndexIVFFlat bad_metric(4);
  bad_metric.metric = 3;
  EXPECT_EQ(CreateError(client, "k", Key(), bad_metric), "Metric must be Cosine, Euclidean or SquaredEuclidean.");
  // The override decides, not the configuration's own metric.
  EXPECT_EQ(CreateError(client, "k", Key(), config, static_cast<DistanceMetric>(9)),
            "Metric must be Cosine, Euclidean or SquaredEuclidean.");
  EXPECT_EQ(CreateError(client, "k", Key(), bad_metric, Cosine), "no error");
  EXPECT_EQ(CreateError(client, std::string(255, 'n'), Key(), config), "no error");
}

TEST(ClientTest, MetricOverrideLeavesTheCallersConfiguration) {
  Client client = MemoryClient();
  IndexIVFFlat config(6, std::string("model"));
  const auto index = client.CreateIndex("m", Key(), config, 0, SquaredEuclidean, nullptr);
  EXPECT_EQ(index->config->metric, SquaredEuclidean);
  EXPECT_EQ(index->config->dimension(), 6u);
  EXPECT_EQ(index->config->embedding_model, "model");
  EXPECT_EQ(config.metric, Euclidean);
  EXPECT_EQ(index->telemetry, client.telemetry());
}

TEST(ClientTest, LoggerChoice) {
  Client client = MemoryClient();
  Logger& process = Logger::instance();
  Logger own;
  const auto with_own = client.CreateIndex("a", Key(), IndexIVFFlat(4), std::nullopt, std::nullopt, &own);
  EXPECT_EQ(active_logger.load(), &own);
  EXPECT_EQ(with_own->logger, &own);

  process.configure("info");
  const auto without = client.CreateIndex("b", Key(), IndexIVFFlat(4), std::nullopt, std::nullopt, nullptr);
  EXPECT_EQ(active_logger.load(), &process);
  EXPECT_EQ(process.level.load(), kError);
  EXPECT_FALSE(process.to_file);

  // The reset happens even when the request is then refused.
  process.configure("warning");
  EXPECT_THROW(client.CreateIndex("", Key(), IndexIVFFlat(4), std::nullopt, std::nullopt, nullptr),
               std::invalid_argument);
  EXPECT_EQ(process.level.load(), kError);
  active_logger = nullptr;
}

TEST(ClientTest, ConstructorFailureIsPrefixed) {
  const DBConfig unreachable{POSTGRES, std::string("t"),
                             std::string("host=127.0.0.1 port=1 dbname=x connect_timeout=2")};
  Client client("key", unreachable, Memory(), Memory(), 0, false, "");
  testing::internal::CaptureStderr();
  try {
    client.CreateIndex("p", Key(), IndexIVFFlat(4), std::nullopt, std::nullopt, nullptr);
    ADD_FAILURE() << "created";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Failed to create index: ", 0), 0u) << e.what();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[ERROR] Exception in EncryptedIndex: "), std::string::npos);
  EXPECT_NE(err.find("[ERROR] Exception in CreateIndex: Failed to create index: "), std::string::npos);
  active_logger = nullptr;
}

}  // namespace
}  // namespace ombrix
