// Which walk batch ranking takes, and on which instruction set its lane sums run, for tests
// and benches that compare them; the library itself always runs with kAuto for both. Every
// walk and every instruction set gives the same results bit for bit.
#pragma once

namespace ombrix::ranking_internal {

enum class RankingWalk {
  kAuto,        // the list-major walk where lists are probed by several queries of a batch
  kQueryMajor,  // every query reads its own lists, one query after another
  kListMajor,   // every group of queries reads each of its lists once for all its queries
};

// Sets the walk of later calls, process-wide; not to be changed while a ranking runs.
void SetRankingWalk(RankingWalk walk);

enum class RankingLanes {
  kAuto,  // the widest this CPU runs
  kScalar,
  kAvx2,
  kAvx512,
};

// Sets the instruction set of later calls' lane sums (packed lengths included),
// process-wide; false, and nothing changed, when this CPU cannot run it. Not to be changed
// while a ranking runs or a list is packed.
bool SetRankingLanes(RankingLanes lanes);

}  // namespace ombrix::ranking_internal
