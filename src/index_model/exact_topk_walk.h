// Which walk batch ranking takes, for tests and benches that compare the two walks; the
// library itself always runs with kAuto. Both walks give the same results bit for bit.
#pragma once

namespace ombrix::ranking_internal {

enum class RankingWalk {
  kAuto,        // the list-major walk where lists are probed by several queries of a batch
  kQueryMajor,  // every query reads its own lists, one query after another
  kListMajor,   // every group of queries reads each of its lists once for all its queries
};

// Sets the walk of later calls, process-wide; not to be changed while a ranking runs.
void SetRankingWalk(RankingWalk walk);

}  // namespace ombrix::ranking_internal
