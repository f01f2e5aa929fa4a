// What both replicates share: the run values a replicate reads, the working
// storage and its column views, the allele-frequency table, the start
// homolog's rule and the candidate loci. The replicates themselves are
// DrawByDrawReplicate (draw_by_draw_replicate.hpp), the readable model,
// and BlockReplicate (block_replicate.hpp), the one the program runs.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

namespace exc {

// What a replicate needs of the run values.
struct FamilyModel {
  std::int32_t Diploid = 1;
  float MapLength = 999.0f;
  // The checks leave Diploid 0 or 1; this is the one test of it.
  bool IsDiploid() const { return Diploid != 0; }
  // Crossovers are modelled when MapLength, widened, is below 999 (a NaN
  // map length therefore means free recombination).
  bool Linked() const { return static_cast<double>(MapLength) < 999.0; }
};

// A row count known at compile time, where a replicate knows the ploidy.
template <std::int32_t N>
using Rows = std::integral_constant<std::int32_t, N>;

// One row of a gene table, a homolog or the gamete being formed: the allele
// of locus i lies `stride` entries after that of locus i - 1.
template <class T>
struct GeneRow {
  T* first;
  std::int32_t stride;
  T& operator[](std::int32_t locus) const { return first[std::ptrdiff_t{locus} * stride]; }
  operator GeneRow<const T>() const requires(!std::is_const_v<T>) { return {first, stride}; }
};

// A gene table by columns: the `rows` alleles of one locus are adjacent.
template <class T, class RowCount = std::int32_t>
struct GeneTable {
  T* data;
  RowCount rows;
  // The alleles of locus i.
  T* operator[](std::int32_t locus) const { return data + std::ptrdiff_t{locus} * rows; }
  GeneRow<T> Row(std::int32_t row) const { return {data + row, rows}; }
};

// The working storage of a run, allocated once and sized by NAllele, Diploid
// and the upper bound of the loci range.
struct FamilyStorage {
  FamilyStorage(std::int32_t diploid, std::int32_t nAllele, std::int32_t lociTo);

  // Bytes the storage takes, for sizing checks before it is allocated.
  static std::int64_t PerLocusBytes(std::int32_t diploid);

  GeneTable<std::int32_t> Grand() { return {GrandGene.data(), GrandRows}; }
  GeneTable<std::int32_t> Mom() { return {MomGene.data(), 2}; }
  GeneTable<std::int32_t> Kid() { return {KidGene.data(), KidRows}; }
  GeneTable<std::int32_t> Aunt() { return {AuntGene.data(), 2}; }

  std::int32_t GrandRows;  // Diploid + 3
  std::int32_t KidRows;    // Diploid + 1
  std::vector<float> CumAfe;
  std::vector<std::int32_t> GrandGene;
  std::vector<std::int32_t> MomGene;
  std::vector<std::int32_t> KidGene;
  std::vector<std::int32_t> AuntGene;
  std::vector<std::int32_t> SegFlag;   // per drawn locus: 1 where a grandparent is heterozygous
  std::vector<std::int32_t> SkipFlag;  // per segregating locus: 0 at a candidate locus, else 1
  std::vector<std::int32_t> CandLoci;  // the candidate loci, ascending
  std::vector<std::int32_t> CrossMark;
  std::int32_t NSeg = 0;
  std::int32_t NCand = 0;
};

// The loci at which FormGamete stores the gamete: every locus for the
// mother and the child, only the candidate loci (SkipFlag 0) for an aunt.
enum class GameteStore { EveryLocus, CandidateLoci };

// What FormGamete did: the crossover count it drew, and whether that count,
// below NSeg, formed the gamete. A gamete not formed leaves every locus to
// UnlinkedPick.
struct GameteResult {
  std::int32_t NCO = 0;
  bool formed = false;
};

// Fills CumAfe from the normalised frequencies: a single-precision running
// sum whose last entry is 1.1, above every deviate.
void BuildCumAfe(std::span<const double> afe, std::span<float> cumAfe);

// Homolog 1 or 2 from one deviate: floor((1 + u) + u) in single
// precision, limited to 2.
inline std::int32_t StartHomolog(float u) {
  const float h = std::floor((1.0f + u) + u);
  return h >= 2.0f ? 2 : 1;
}

// Finds the candidate loci of the replicate; makes no draw.
void MarkCandLoci(const FamilyModel& model, FamilyStorage& s);

}  // namespace exc
