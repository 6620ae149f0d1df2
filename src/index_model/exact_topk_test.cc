#include "index_model/exact_topk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>

#include "index_model/exact_topk_walk.h"
#include "index_model/test_data.h"
#include "index_model/testing/scoped_omp_threads.h"

namespace ombrix {
namespace {

using testing::ElementsAre;
using testing::ThrowsMessage;

// A record of the given ids in one list per entry of sizes, with metadata "m<id>".
CacheMissResult Record(std::vector<std::string> ids, std::vector<uint64_t> sizes) {
  CacheMissResult r;
  r.item_ids = std::move(ids);
  for (const auto& id : r.item_ids) r.metadata.push_back("m" + id);
  r.token_indices = {0};
  for (uint64_t s : sizes) r.token_indices.push_back(r.token_indices.back() + s);
  return r;
}

ProbeSelection Probes(std::vector<std::vector<uint32_t>> rows) {
  ProbeSelection s;
  s.n_queries = rows.size();
  const uint64_t w = rows.empty() ? 0 : rows[0].size();
  std::vector<uint32_t> cells;
  for (const auto& row : rows) cells.insert(cells.end(), row.begin(), row.end());
  s.probes.rows = rows.size();
  s.probes.cols = w;
  s.probes.data = std::move(cells);
  return s;
}

// Each of n_queries probes `per_query` distinct positions of `lists`, in random order.
ProbeSelection RandomProbes(uint64_t n_queries, uint64_t lists, uint64_t per_query,
                            std::mt19937& gen) {
  std::vector<std::vector<uint32_t>> rows;
  for (uint64_t q = 0; q < n_queries; ++q) {
    std::vector<uint32_t> positions(lists);
    std::iota(positions.begin(), positions.end(), 0u);
    std::shuffle(positions.begin(), positions.end(), gen);
    positions.resize(per_query);
    rows.push_back(positions);
  }
  return Probes(rows);
}

Matrix<float> Rows(std::vector<float> values, uint64_t d) { return Matrix<float>(std::move(values), d); }

std::vector<std::string> IdRow(const QueryResults& r, uint64_t q) {
  return std::vector<std::string>(r.ids.row(q), r.ids.row(q) + r.ids.cols);
}

// The record's lists as the item cache holds them, each packed on its own.
std::vector<PackedList> CachedLists(const CacheMissResult& record, const Matrix<float>& items) {
  std::vector<PackedList> lists;
  for (uint64_t p = 0; p + 1 < record.token_indices.size(); ++p) {
    const uint64_t begin = record.token_indices[p];
    const uint64_t end = record.token_indices[p + 1];
    lists.emplace_back(
        std::vector<std::string>(record.item_ids.begin() + begin, record.item_ids.begin() + end),
        std::vector<std::string>(record.metadata.begin() + begin, record.metadata.begin() + end),
        reinterpret_cast<const uint8_t*>(items.data.data() + begin * items.cols),
        items.cols * sizeof(float));
  }
  return lists;
}

std::vector<ListView> Views(const std::vector<PackedList>& lists) {
  std::vector<ListView> views;
  for (const PackedList& list : lists) views.push_back(list.view());
  return views;
}

TEST(ExactTopkTest, EmptyInputsGiveRowsWithoutColumns) {
  const Matrix<float> query = Rows({1, 2}, 2);
  for (int32_t metric : {0, 7}) {
    const QueryResults r = exact_topk_search(Record({}, {0}), Matrix<float>(), Probes({{0}}), query,
                                             5, static_cast<DistanceMetric>(metric), {1});
    EXPECT_EQ(r.n_queries, 1u);
    EXPECT_EQ(r.top_k, 0u);
    EXPECT_EQ(r.ids.rows, 1u);
    EXPECT_EQ(r.ids.cols, 0u);
    EXPECT_THAT(r.counts, ElementsAre(0));
    ASSERT_EQ(r.metadata.size(), 1u);
    EXPECT_TRUE(r.metadata[0].empty());
  }
  const CacheMissResult two = Record({"a", "b"}, {2});
  const QueryResults zero_k =
      exact_topk_search(two, Rows({0, 0, 1, 1}, 2), Probes({{0}}), query, 0, Cosine, {1});
  EXPECT_EQ(zero_k.top_k, 0u);
  EXPECT_THAT(zero_k.counts, ElementsAre(0));
  const QueryResults no_queries =
      exact_topk_search(two, Rows({0, 0, 1, 1}, 2), Probes({{0}}), Matrix<float>(), 3, Cosine, {});
  EXPECT_EQ(no_queries.n_queries, 1u);
  EXPECT_EQ(no_queries.top_k, 0u);
}

TEST(ExactTopkTest, KIsBoundByAllFetchedRowsAndShortRowsArePadded) {
  // Lists: 0 = {a, b}, 1 = {c}. Query 0 probes list 0 only; query 1 both.
  const CacheMissResult record = Record({"a", "b", "c"}, {2, 1});
  const Matrix<float> items = Rows({1, 0, 2, 0, 3, 0}, 2);
  ProbeSelection sel = Probes({{0, 0}, {1, 0}});
  sel.probes.cols = 1;
  sel.probes.data = {0, 1};
  const QueryResults one_list = exact_topk_search(record, items, sel, Rows({0, 0, 0, 0}, 2), 10,
                                                  SquaredEuclidean, {1, 0});
  EXPECT_EQ(one_list.top_k, 3u);
  EXPECT_THAT(one_list.counts, ElementsAre(2, 1));
  EXPECT_THAT(IdRow(one_list, 0), ElementsAre("a", "b", ""));
  EXPECT_EQ(one_list.distances.at(0, 1), 4.0f);
  EXPECT_EQ(one_list.distances.at(0, 2), 0.0f);
  EXPECT_THAT(one_list.metadata[0], ElementsAre("ma", "mb", ""));
  EXPECT_THAT(IdRow(one_list, 1), ElementsAre("c", "", ""));
}

TEST(ExactTopkTest, TiesAreOrderedByIdBytesAndTheCutKeepsEarlierRows) {
  // All at distance 1 from the query; "a" < "ab" < "b" < "\xff" as unsigned bytes.
  const CacheMissResult record = Record({"b", "\xff", "ab", "a"}, {4});
  const Matrix<float> items = Rows({1, 0, -1, 0, 0, 1, 0, -1}, 2);
  const QueryResults all = exact_topk_search(record, items, Probes({{0}}), Rows({0, 0}, 2), 4,
                                             SquaredEuclidean, {});
  EXPECT_THAT(IdRow(all, 0), ElementsAre("a", "ab", "b", "\xff"));

  // k = 2: kept 0.0625 (z) and 0.25 (y); a later row at 0.25 with id "a" is not taken.
  const CacheMissResult cut = Record({"z", "y", "a"}, {3});
  const QueryResults two = exact_topk_search(cut, Rows({0.25f, 0.5f, -0.5f}, 1), Probes({{0}}),
                                             Rows({0}, 1), 2, SquaredEuclidean, {});
  EXPECT_THAT(IdRow(two, 0), ElementsAre("z", "y"));

  // A zero query is at cosine distance 1 from everything: the first k rows met are kept.
  const CacheMissResult four = Record({"d", "c", "b", "a"}, {4});
  const QueryResults zero = exact_topk_search(four, Rows({1, 2, 3, 4, 5, 6, 7, 8}, 2),
                                              Probes({{0}}), Rows({0, 0}, 2), 2, Cosine, {});
  EXPECT_THAT(IdRow(zero, 0), ElementsAre("c", "d"));
  EXPECT_EQ(zero.distances.at(0, 0), 1.0f);
  EXPECT_EQ(zero.distances.at(0, 1), 1.0f);
}

TEST(ExactTopkTest, EuclideanIsTheRootOfSquaredEuclideanAndNanComesLast) {
  const CacheMissResult record = Record({"p", "q", "r", "s"}, {4});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Matrix<float> items = Rows({3, 4, nan, 0, 1, 1, 0, 2}, 2);
  const Matrix<float> query = Rows({0, 0}, 2);
  const QueryResults sq = exact_topk_search(record, items, Probes({{0}}), query, 4, SquaredEuclidean, {});
  const QueryResults eu = exact_topk_search(record, items, Probes({{0}}), query, 4, Euclidean, {});
  EXPECT_THAT(IdRow(sq, 0), ElementsAre("r", "s", "p", "q"));
  EXPECT_EQ(IdRow(eu, 0), IdRow(sq, 0));
  for (uint64_t j = 0; j < 3; ++j) EXPECT_EQ(eu.distances.at(0, j), std::sqrt(sq.distances.at(0, j)));
  EXPECT_TRUE(std::isnan(eu.distances.at(0, 3)));
  const QueryResults three = exact_topk_search(record, items, Probes({{0}}), query, 3, SquaredEuclidean, {});
  EXPECT_THAT(IdRow(three, 0), ElementsAre("r", "s", "p")) << "a NaN never displaces a number";
}

TEST(ExactTopkTest, CosineRanksFiniteVectorsOfAnyMagnitudeWithoutNan) {
  // Each row: the scale of the stored rows and of the query. Squares of 1e20 overflow a
  // float, squares of 1e-25 vanish, 3e38 is near the largest float.
  const std::vector<std::pair<float, float>> scales = {
      {1e20f, 1e20f}, {1e20f, 1.0f}, {1.0f, 1e20f}, {3e38f, 3e38f}, {1e-25f, 1e-25f}, {1e-40f, 1.0f}};
  const CacheMissResult record = Record({"a", "b", "c"}, {3});
  for (const auto& [item_scale, query_scale] : scales) {
    const Matrix<float> items = Rows({1 * item_scale, 0, 0, 1 * item_scale, 1 * item_scale,
                                      1 * item_scale}, 2);
    const Matrix<float> query = Rows({0, query_scale}, 2);
    // Both roads: rows packed for the call, and rows ranked where a cached list keeps them.
    const PackedList cached(record.item_ids, record.metadata,
                            reinterpret_cast<const uint8_t*>(items.data.data()), 2 * sizeof(float));
    for (bool in_place : {false, true}) {
      const QueryResults r =
          in_place ? exact_topk_lists({cached.view()}, 2, Probes({{0}}), query, 3, Cosine, {})
                   : exact_topk_search(record, items, Probes({{0}}), query, 3, Cosine, {});
      EXPECT_THAT(IdRow(r, 0), ElementsAre("b", "c", "a")) << item_scale << " " << query_scale;
      EXPECT_NEAR(r.distances.at(0, 0), 0.0f, 1e-6f) << item_scale << " " << query_scale;
      EXPECT_NEAR(r.distances.at(0, 1), 1.0f - std::sqrt(0.5f), 1e-6f);
      EXPECT_NEAR(r.distances.at(0, 2), 1.0f, 1e-6f);
    }
  }
}

// Items and queries scaled by 2^k rank as the unscaled ones do, bit for bit, and report
// the unscaled distances times 4^k (2^k for Euclidean), rounded to a float: infinity where
// that is beyond a float, 0 where it is below one. Before scaling, 2^60 sends squares
// past a float and 2^-63 sends them to 0.
TEST(ExactTopkTest, EuclideanRanksScaledVectorsAsTheUnscaledOnes) {
  const uint64_t d = 37;
  std::mt19937 gen(3);
  const std::vector<uint64_t> sizes{0, 1, 15, 16, 17, 64, 65, 3, 40};
  const uint64_t rows = std::accumulate(sizes.begin(), sizes.end(), uint64_t{0});
  std::vector<std::string> ids(rows);
  for (uint64_t r = 0; r < rows; ++r) ids[r] = "id" + std::to_string(r);
  const CacheMissResult record = Record(ids, sizes);
  const Matrix<float> items = testing_data::Uniform(rows, d, 21);
  const Matrix<float> queries = testing_data::Uniform(30, d, 22);
  const ProbeSelection sel = RandomProbes(30, sizes.size(), 4, gen);
  auto scaled = [](Matrix<float> m, int k) {
    for (float& v : m.data) {
      const float s = std::ldexp(v, k);
      EXPECT_EQ(std::ldexp(s, -k), v) << "the data must scale exactly";
      v = s;
    }
    return m;
  };
  for (int k : {60, 64, 100, -63, -100}) {
    const Matrix<float> big_items = scaled(items, k);
    const Matrix<float> big_queries = scaled(queries, k);
    const std::vector<PackedList> owned = CachedLists(record, big_items);
    const std::vector<ListView> views = Views(owned);
    for (DistanceMetric metric : {Euclidean, SquaredEuclidean}) {
      const QueryResults want = exact_topk_search(record, items, sel, queries, 9, metric, {});
      const int factor = metric == Euclidean ? k : 2 * k;
      std::vector<float> distances;
      for (float v : want.distances.data) distances.push_back(static_cast<float>(std::ldexp(double{v}, factor)));
      for (bool in_place : {false, true}) {
        const QueryResults got =
            in_place ? exact_topk_lists(views, d, sel, big_queries, 9, metric, {})
                     : exact_topk_search(record, big_items, sel, big_queries, 9, metric, {});
        const std::string where = "2^" + std::to_string(k) + ", metric " + std::to_string(metric) +
                                  ", in place " + std::to_string(in_place);
        EXPECT_EQ(got.counts, want.counts) << where;
        EXPECT_EQ(got.ids.data, want.ids.data) << where;
        EXPECT_EQ(got.distances.data, distances) << where;
      }
    }
  }
}

// Rows of very different magnitudes in one list, queries of any magnitude: the order is
// that of the true distances, which are reported where a float holds them.
TEST(ExactTopkTest, EuclideanOrdersRowsOfMixedMagnitudes) {
  // Ids run against the true order, so that ties broken by id would show.
  const std::vector<std::string> ids = {"g", "f", "e", "d", "c", "b", "a"};
  const Matrix<float> items = Rows({1e-38f, 1e-38f,  -3e-38f, 0,  // tiny: list 0
                                    0.5f, 0,         -3, 0,       // normal: list 0
                                    1e19f, 0,        -2e19f, 0,   // large: list 1
                                    3e38f, -3e38f},               // near the largest float: list 1
                                   2);
  const CacheMissResult record = Record(ids, {4, 3});
  struct Case {
    std::vector<float> query;
    std::vector<uint32_t> probes;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {{0, 0}, {0, 1}, {"g", "f", "e", "d", "c", "b", "a"}},
      {{1e-38f, 0}, {0}, {"g", "f", "e", "d"}},
      {{1.5e19f, 0}, {1}, {"c", "b", "a"}},
  };
  for (const Case& c : cases) {
    const Matrix<float> query = Rows(c.query, 2);
    const ProbeSelection sel = Probes({c.probes});
    const PackedList tiny_and_normal({ids.begin(), ids.begin() + 4}, {"mg", "mf", "me", "md"},
                                     reinterpret_cast<const uint8_t*>(items.row(0)), 2 * sizeof(float));
    const PackedList large({ids.begin() + 4, ids.end()}, {"mc", "mb", "ma"},
                           reinterpret_cast<const uint8_t*>(items.row(4)), 2 * sizeof(float));
    for (DistanceMetric metric : {Euclidean, SquaredEuclidean}) {
      for (bool in_place : {false, true}) {
        const QueryResults r =
            in_place ? exact_topk_lists({tiny_and_normal.view(), large.view()}, 2, sel, query, 7, metric, {})
                     : exact_topk_search(record, items, sel, query, 7, metric, {});
        const std::string where = "query " + std::to_string(c.query[0]) + ", metric " +
                                  std::to_string(metric) + ", in place " + std::to_string(in_place);
        ASSERT_EQ(r.counts[0], c.order.size()) << where;
        for (size_t j = 0; j < c.order.size(); ++j) {
          EXPECT_EQ(r.ids.at(0, j), c.order[j]) << where << ", rank " << j;
          const float* x = items.row(std::find(ids.begin(), ids.end(), c.order[j]) - ids.begin());
          double squared = 0;
          for (int i = 0; i < 2; ++i) squared += (double{c.query[i]} - x[i]) * (double{c.query[i]} - x[i]);
          const float want = static_cast<float>(metric == Euclidean ? std::sqrt(squared) : squared);
          const float got = r.distances.at(0, j);
          if (std::isinf(want) || want < std::numeric_limits<float>::min()) {
            EXPECT_FLOAT_EQ(got, want) << where << ", rank " << j;
          } else {
            EXPECT_NEAR(got, want, want * 1e-6f) << where << ", rank " << j;
          }
        }
      }
    }
  }
}

// Puts back the automatic choice of walk however the test leaves its scope.
struct ScopedWalk {
  ~ScopedWalk() { ranking_internal::SetRankingWalk(ranking_internal::RankingWalk::kAuto); }
};

// The distance of q and x in double precision, as ranking reports it.
double DoubleDistance(const float* q, const float* x, uint64_t d, DistanceMetric metric) {
  double dot = 0, qq = 0, xx = 0, squared = 0;
  for (uint64_t j = 0; j < d; ++j) {
    dot += double{q[j]} * x[j];
    qq += double{q[j]} * q[j];
    xx += double{x[j]} * x[j];
    squared += (double{q[j]} - x[j]) * (double{q[j]} - x[j]);
  }
  if (metric == Cosine) return 1.0 - dot / (std::sqrt(qq) * std::sqrt(xx));
  return metric == Euclidean ? std::sqrt(squared) : squared;
}

// Vectors that share huge components (the same float in every vector) and differ by small
// amounts elsewhere rank as double-precision sums rank them: the j-th result lies at the
// reference's j-th distance (so results may swap only where a float cannot tell them
// apart), and is reported at that distance up to single-precision rounding.
TEST(ExactTopkTest, SmallDifferencesBesideHugeSharedComponentsKeepTheirWeight) {
  using ranking_internal::RankingWalk;
  const std::pair<float, float> shared_and_spread[] = {
      {1e15f, 1e-6f}, {1e17f, 1e-6f}, {1e19f, 1e-4f},
      {1e19f, 1e-6f}, {1e15f, 1e14f}, {1e19f, 1e18f}};
  const uint64_t d = 6;  // components 0 and 1 shared, the others spread
  const uint64_t n = 50;
  std::vector<std::string> ids(n);
  for (uint64_t r = 0; r < n; ++r) ids[r] = "id" + std::to_string(r * 37 % n);
  const CacheMissResult record = Record(ids, {17, 33});
  const ProbeSelection sel = Probes(std::vector<std::vector<uint32_t>>(6, {1, 0}));
  ScopedWalk restore;
  for (const auto& [shared, spread] : shared_and_spread) {
    Matrix<float> items = testing_data::Uniform(n, d, 31);
    Matrix<float> queries = testing_data::Uniform(6, d, 32);
    for (auto* m : {&items, &queries}) {
      for (uint64_t r = 0; r < m->rows; ++r) {
        for (uint64_t j = 2; j < d; ++j) m->row(r)[j] *= spread;
        m->row(r)[0] = shared;
        m->row(r)[1] = -shared / 2;
      }
    }
    for (DistanceMetric metric : {Cosine, Euclidean, SquaredEuclidean}) {
      for (RankingWalk walk : {RankingWalk::kQueryMajor, RankingWalk::kListMajor}) {
        ranking_internal::SetRankingWalk(walk);
        const QueryResults got = exact_topk_search(record, items, sel, queries, 10, metric, {});
        for (uint64_t q = 0; q < queries.rows; ++q) {
          std::vector<double> want(n);
          for (uint64_t r = 0; r < n; ++r) {
            want[r] = DoubleDistance(queries.row(q), items.row(r), d, metric);
          }
          std::vector<double> sorted = want;
          std::sort(sorted.begin(), sorted.end());
          const std::string where =
              "shared " + std::to_string(shared) + ", spread " + std::to_string(spread) +
              ", metric " + std::to_string(metric) + ", walk " +
              std::to_string(static_cast<int>(walk)) + ", query " + std::to_string(q);
          ASSERT_EQ(got.counts[q], 10u) << where;
          for (uint64_t j = 0; j < 10; ++j) {
            const double tolerance = metric == Cosine ? 1e-6 : 1e-5 * sorted[j];
            const uint64_t r = std::find(ids.begin(), ids.end(), got.ids.at(q, j)) - ids.begin();
            EXPECT_NEAR(want[r], sorted[j], tolerance) << where << ", rank " << j;
            EXPECT_NEAR(got.distances.at(q, j), sorted[j], tolerance) << where << ", rank " << j;
          }
        }
      }
    }
  }
}

TEST(ExactTopkTest, IncludeCodesDecideMetadata) {
  const CacheMissResult record = Record({"a", "b"}, {2});
  const Matrix<float> items = Rows({1, 0, 0, 1}, 2);
  const QueryResults none = exact_topk_search(record, items, Probes({{0}}), Rows({1, 0}, 2), 5, Cosine, {0});
  EXPECT_TRUE(none.metadata[0].empty());
  const QueryResults with = exact_topk_search(record, items, Probes({{0}}), Rows({1, 0}, 2), 5, Cosine, {1, 0});
  EXPECT_THAT(with.metadata[0], ElementsAre("ma", "mb"));
}

TEST(ExactTopkTest, RefusalsComeBeforeRanking) {
  const CacheMissResult record = Record({"a", "b", "c"}, {1, 2});
  const Matrix<float> items = testing_data::Uniform(3, 16, 1);
  const Matrix<float> query = testing_data::Uniform(1, 16, 2);
  auto search = [&](const CacheMissResult& rec, const Matrix<float>& it, const ProbeSelection& sel,
                    const Matrix<float>& q, int32_t metric = Cosine) {
    return [&, metric] { exact_topk_search(rec, it, sel, q, 2, static_cast<DistanceMetric>(metric), {}); };
  };
  const ProbeSelection sel = Probes({{0, 1}});
  EXPECT_THAT(search(record, items, sel, query, 3),
              ThrowsMessage<std::runtime_error>("Unsupported distance metric."));
  const Matrix<float> short_items = testing_data::Uniform(2, 16, 1);
  EXPECT_THAT(search(record, short_items, sel, query),
              ThrowsMessage<std::invalid_argument>("Matching IDs and embeddings have different sizes"));
  const Matrix<float> narrow = testing_data::Uniform(1, 8, 3);
  EXPECT_THAT(search(record, items, sel, narrow),
              ThrowsMessage<std::invalid_argument>("Query embedding dimension does not match item embedding"));

  const ProbeSelection beyond = Probes({{0, 2}});
  const ProbeSelection two_queries = Probes({{0, 1}, {1, 0}});
  CacheMissResult past_rows = record;
  past_rows.token_indices = {0, 1, 4};
  CacheMissResult no_metadata = record;
  no_metadata.metadata.pop_back();
  for (auto bad : {search(record, items, beyond, query), search(record, items, two_queries, query),
                   search(past_rows, items, sel, query), search(no_metadata, items, sel, query)}) {
    EXPECT_THAT(bad, testing::Throws<std::invalid_argument>());
  }
  CacheMissResult no_bounds = record;  // nothing probed: no boundaries are needed
  no_bounds.token_indices.clear();
  ProbeSelection nothing = Probes({{0}});
  nothing.probes.cols = 0;
  nothing.probes.data.clear();
  EXPECT_EQ(exact_topk_search(no_bounds, items, nothing, query, 3, Cosine, {}).counts[0], 0u);
  CacheMissResult reversed = record;
  reversed.token_indices = {0, 3, 1};  // the second list is empty, not an error
  const QueryResults r = exact_topk_search(reversed, items, sel, query, 3, Cosine, {});
  EXPECT_EQ(r.counts[0], 3u);
}

// The promised arithmetic, pair by pair: sequential single-precision sums.
float ReferenceDistance(const float* q, const float* x, uint64_t d, DistanceMetric metric) {
  if (metric == Cosine) {
    float dot = 0, qq = 0, xx = 0;
    for (uint64_t j = 0; j < d; ++j) {
      dot = std::fmaf(q[j], x[j], dot);
      qq = std::fmaf(q[j], q[j], qq);
      xx = std::fmaf(x[j], x[j], xx);
    }
    const float norms = std::sqrt(qq) * std::sqrt(xx);
    return norms == 0.0f ? 1.0f : 1.0f - dot / norms;
  }
  float sum = 0;
  for (uint64_t j = 0; j < d; ++j) {
    const float diff = q[j] - x[j];
    const volatile float square = diff * diff;  // keeps the product rounded on its own
    sum = sum + square;
  }
  return sum;
}

QueryResults Reference(const CacheMissResult& rec, const Matrix<float>& items, const ProbeSelection& sel,
                       const Matrix<float>& queries, uint32_t top_k, DistanceMetric metric) {
  const uint64_t k = std::min<uint64_t>(rec.item_ids.size(), top_k);
  QueryResults out = make_query_results(sel.n_queries, k);
  using Triple = std::tuple<float, std::string, std::string>;
  for (uint64_t q = 0; q < sel.n_queries; ++q) {
    std::vector<Triple> heap;
    for (uint64_t c = 0; c < sel.probes.cols; ++c) {
      const uint32_t p = sel.probes.at(q, c);
      for (uint64_t r = rec.token_indices[p]; r < rec.token_indices[p + 1]; ++r) {
        const float d = ReferenceDistance(queries.row(q), items.row(r), items.cols, metric);
        if (heap.size() < k) {
          heap.emplace_back(d, rec.item_ids[r], rec.metadata[r]);
          std::push_heap(heap.begin(), heap.end());
        } else if (d < std::get<0>(heap.front())) {
          std::pop_heap(heap.begin(), heap.end());
          heap.back() = Triple(d, rec.item_ids[r], rec.metadata[r]);
          std::push_heap(heap.begin(), heap.end());
        }
      }
    }
    std::sort_heap(heap.begin(), heap.end());
    for (uint64_t j = 0; j < heap.size(); ++j) {
      const float d = std::get<0>(heap[j]);
      out.distances.at(q, j) = metric == Euclidean ? std::sqrt(d) : d;
      out.ids.at(q, j) = std::get<1>(heap[j]);
    }
    out.counts[q] = static_cast<uint32_t>(heap.size());
  }
  return out;
}

TEST(ExactTopkTest, MatchesTheScalarReferenceBitForBitAtAnyTeamSize) {
  std::mt19937 gen(42);
  const uint64_t d = 37;  // not a multiple of any vector width
  std::vector<uint64_t> sizes{0, 1, 15, 16, 17, 64, 65, 130, 3, 0, 40};
  const uint64_t rows = std::accumulate(sizes.begin(), sizes.end(), uint64_t{0});
  Matrix<float> items = testing_data::Uniform(rows, d, 7);
  std::vector<std::string> ids(rows);
  for (uint64_t r = 0; r < rows; ++r) ids[r] = "id" + std::to_string(gen() % 1000);
  for (uint64_t r = 0; r + 5 < rows; r += 9) {  // exact duplicates make ties
    std::memcpy(items.row(r + 5), items.row(r), d * sizeof(float));
  }
  std::memset(items.row(3), 0, d * sizeof(float));  // a zero vector
  const CacheMissResult record = Record(ids, sizes);
  Matrix<float> queries = testing_data::Uniform(60, d, 9);
  std::memset(queries.row(0), 0, d * sizeof(float));
  const ProbeSelection sel = RandomProbes(60, sizes.size(), 5, gen);
  const std::vector<PackedList> owned = CachedLists(record, items);
  const std::vector<ListView> views = Views(owned);
  testing_support::ScopedOmpThreads team;
  for (DistanceMetric metric : {Cosine, Euclidean, SquaredEuclidean}) {
    const QueryResults want = Reference(record, items, sel, queries, 12, metric);
    for (int threads : {1, 8}) {
      team.Set(threads);
      for (bool in_place : {false, true}) {
        const QueryResults got =
            in_place ? exact_topk_lists(views, d, sel, queries, 12, metric, {1})
                     : exact_topk_search(record, items, sel, queries, 12, metric, {1});
        const std::string where = "metric " + std::to_string(metric) + ", " +
                                  std::to_string(threads) + " threads, in place " +
                                  std::to_string(in_place);
        ASSERT_EQ(got.top_k, 12u);
        EXPECT_EQ(got.counts, want.counts) << where;
        EXPECT_EQ(got.ids.data, want.ids.data) << where;
        EXPECT_EQ(0, std::memcmp(got.distances.data.data(), want.distances.data.data(),
                                 want.distances.data.size() * sizeof(float)))
            << where;
      }
    }
  }
}

TEST(ExactTopkTest, ListMajorWalkEqualsQueryMajorWalkBitForBit) {
  using ranking_internal::RankingWalk;
  // Enough work for a team of several members, hence several groups of queries.
  const uint64_t d = 67;
  // The list of 520 rows spans several of the chunks the list-major walk reads at once.
  const std::vector<uint64_t> sizes{0, 5, 16, 33, 80, 1, 47, 130, 520};
  const uint64_t rows = std::accumulate(sizes.begin(), sizes.end(), uint64_t{0});
  // Ids in an order unlike the rows', so that the triple order and the meeting order
  // disagree among equal distances.
  std::vector<std::string> ids(rows);
  for (uint64_t r = 0; r < rows; ++r) ids[r] = "id" + std::to_string((r * 7919) % 1009);
  const CacheMissResult record = Record(ids, sizes);
  std::mt19937 gen(5);
  const ProbeSelection sel = RandomProbes(96, sizes.size(), 6, gen);
  const float nan = std::numeric_limits<float>::quiet_NaN();

  enum Data { kGaussian, kTies, kTiesAndNan, kExtremeMagnitudes };
  testing_support::ScopedOmpThreads team;
  ScopedWalk restore;
  for (Data data : {kGaussian, kTies, kTiesAndNan, kExtremeMagnitudes}) {
    Matrix<float> items = testing_data::Uniform(rows, d, 11);
    Matrix<float> queries = testing_data::Uniform(96, d, 12);
    if (data != kGaussian) {
      // Components of {0, 1} (and few of them in use) put many rows at equal distances.
      for (auto* m : {&items, &queries}) {
        for (float& v : m->data) v = v < 0.5f ? 0.0f : 1.0f;
        for (uint64_t r = 0; r < m->rows; ++r) std::fill(m->row(r) + 3, m->row(r) + d, 0.0f);
      }
      std::memset(queries.row(1), 0, d * sizeof(float));  // level with every row for cosine
    }
    if (data == kTiesAndNan) {
      for (uint64_t r = 2; r < rows; r += 3) items.row(r)[r % d] = nan;
      queries.row(2)[0] = nan;  // NaN against every row
    }
    if (data == kExtremeMagnitudes) {
      for (uint64_t r = 0; r < rows; r += 4) {
        for (uint64_t j = 0; j < d; ++j) items.row(r)[j] *= r % 8 == 0 ? 1e20f : 1e-25f;
      }
      for (uint64_t j = 0; j < d; ++j) queries.row(3)[j] *= 1e20f;
    }
    const std::vector<PackedList> owned = CachedLists(record, items);
    const std::vector<ListView> views = Views(owned);
    for (DistanceMetric metric : {Cosine, Euclidean, SquaredEuclidean}) {
      for (uint32_t k : {1u, 7u, 40u, 100000u}) {
        ranking_internal::SetRankingWalk(RankingWalk::kQueryMajor);
        team.Set(1);
        const QueryResults want = exact_topk_lists(views, d, sel, queries, k, metric, {1});
        for (auto [walk, threads] : {std::pair{RankingWalk::kListMajor, 1},
                                     {RankingWalk::kListMajor, 8}, {RankingWalk::kAuto, 8}}) {
          ranking_internal::SetRankingWalk(walk);
          team.Set(threads);
          const QueryResults got = exact_topk_lists(views, d, sel, queries, k, metric, {1});
          const std::string where = "data " + std::to_string(data) + ", metric " +
                                    std::to_string(metric) + ", k " + std::to_string(k) + ", " +
                                    std::to_string(threads) + " threads, walk " +
                                    std::to_string(static_cast<int>(walk));
          EXPECT_EQ(got.counts, want.counts) << where;
          EXPECT_EQ(got.ids.data, want.ids.data) << where;
          EXPECT_EQ(got.metadata, want.metadata) << where;
          EXPECT_EQ(0, std::memcmp(got.distances.data.data(), want.distances.data.data(),
                                   want.distances.data.size() * sizeof(float)))
              << where;
        }
      }
    }
  }
}

// Puts back the widest lanes however the test leaves its scope.
struct ScopedLanes {
  ~ScopedLanes() { ranking_internal::SetRankingLanes(ranking_internal::RankingLanes::kAuto); }
};

// Every instruction set gives the scalar lanes' bits, NaN distances included: which
// operand's NaN an instruction passes on (its sign and payload) depends on the form the
// compiler picked, which differs between the sets.
TEST(ExactTopkTest, EveryInstructionSetGivesTheScalarBits) {
  using ranking_internal::RankingLanes;
  const uint64_t d = 19;
  const std::vector<uint64_t> sizes{5, 16, 40};
  const uint64_t rows = 61;
  std::vector<std::string> ids(rows);
  for (uint64_t r = 0; r < rows; ++r) ids[r] = "id" + std::to_string(r);
  const CacheMissResult record = Record(ids, sizes);
  const ProbeSelection sel = Probes(std::vector<std::vector<uint32_t>>(8, {2, 0, 1}));
  const float inf = std::numeric_limits<float>::infinity();
  const float nans[] = {std::bit_cast<float>(0x7fc00001u), std::bit_cast<float>(0xffc00002u),
                        std::bit_cast<float>(0x7f800003u), std::bit_cast<float>(0xff800004u)};
  enum Data { kUniform, kInfinities, kNans };
  ScopedLanes restore;
  for (Data data : {kUniform, kInfinities, kNans}) {
    Matrix<float> items = testing_data::Uniform(rows, d, 41);
    Matrix<float> queries = testing_data::Uniform(8, d, 42);
    for (uint64_t r = 0; r < rows; r += 2) {
      if (data == kInfinities) items.row(r)[r % 4] = r % 3 == 0 ? inf : -inf;  // inf - inf
      if (data == kNans) items.row(r)[r % d] = nans[r % 4];
    }
    for (uint64_t q = 0; q < queries.rows; ++q) {
      if (data == kInfinities) queries.row(q)[q % 4] = q % 2 == 0 ? inf : -inf;
      if (data == kNans) queries.row(q)[(q * 5) % d] = nans[(q + 1) % 4];
    }
    for (DistanceMetric metric : {Cosine, Euclidean, SquaredEuclidean}) {
      QueryResults want[2];
      for (RankingLanes lanes :
           {RankingLanes::kScalar, RankingLanes::kAvx2, RankingLanes::kAvx512}) {
        if (!ranking_internal::SetRankingLanes(lanes)) continue;
        const std::vector<PackedList> cached = CachedLists(record, items);  // packed by these lanes
        for (int in_place : {0, 1}) {
          const QueryResults got =
              in_place ? exact_topk_lists(Views(cached), d, sel, queries, 30, metric, {})
                       : exact_topk_search(record, items, sel, queries, 30, metric, {});
          const std::string where = "data " + std::to_string(data) + ", metric " +
                                    std::to_string(metric) + ", lanes " +
                                    std::to_string(static_cast<int>(lanes)) + ", in place " +
                                    std::to_string(in_place);
          if (lanes == RankingLanes::kScalar) {
            want[in_place] = got;
            continue;
          }
          EXPECT_EQ(got.ids.data, want[in_place].ids.data) << where;
          EXPECT_EQ(0, std::memcmp(got.distances.data.data(), want[in_place].distances.data.data(),
                                   want[in_place].distances.data.size() * sizeof(float)))
              << where;
        }
      }
    }
  }
}

TEST(QueryResultsTest, RowsAreReadThroughTheCheckedAccessor) {
  QueryResults results = make_query_results(2, 3);
  results.ids.at(1, 0) = "x";
  results.counts = {0, 5};  // more than the slots: only the slots are read
  EXPECT_EQ(results.ForQuery(0).count, 0u);
  const QueryResultRow row = results.ForQuery(1);
  ASSERT_EQ(row.count, 3u);
  EXPECT_EQ(row.ids[0], "x");
  EXPECT_EQ(row.metadata, nullptr);
  for (QueryResults bad : {results, make_query_results(0, 0)}) {
    bad.ids.rows = 1;  // a row count below n_queries is refused too
    try {
      bad.ForQuery(bad.n_queries == 0 ? 0 : 1);
      FAIL() << "read past the results";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "Query index is out of bounds");
    }
  }
  EXPECT_THROW(results.ForQuery(2), std::out_of_range);
}

// Peak resident memory (kB) since the last reset, or -1 where the kernel cannot reset it.
long ResetPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.close();
  return clear.fail() ? -1 : 0;
}

long StatusKb(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

TEST(ExactTopkTest, ManySmallListsCostNoMoreThanTheirVectors) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's shadow of every write counts in the resident set";
#endif
  // 8,192 lists of one 768-d item: 24 MiB of vectors, which padding to whole blocks of
  // rows would turn into a packed copy sixteen times as large.
  const uint64_t lists = 8192;
  const uint64_t d = 768;
  std::vector<std::string> ids(lists);
  for (uint64_t r = 0; r < lists; ++r) ids[r] = std::to_string(r);
  const CacheMissResult record = Record(ids, std::vector<uint64_t>(lists, 1));
  const Matrix<float> items = testing_data::Uniform(lists, d, 5);
  const Matrix<float> query = testing_data::Uniform(1, d, 6);
  if (ResetPeak() != 0) GTEST_SKIP() << "peak memory cannot be reset here";
  const long before = StatusKb("VmRSS");
  const QueryResults r = exact_topk_search(record, items, Probes({{0, 1, 2}}), query, 3, Cosine, {});
  const long grown_kb = StatusKb("VmHWM") - before;
  EXPECT_EQ(r.counts[0], 3u);
  const long vectors_kb = static_cast<long>(lists * d * sizeof(float) / 1024);
  EXPECT_LT(grown_kb, 2 * vectors_kb);
}

}  // namespace
}  // namespace ombrix
