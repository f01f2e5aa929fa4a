#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "common/params.hpp"
#include "e2e_support.hpp"
#include "simulator/draw_by_draw_replicate.hpp"
#include "simulator/family.hpp"

namespace exc {
namespace {

// A draw source fed with chosen deviates and odd integers, in order; it
// fails the test when the code asks for a different kind of draw or more
// draws than the script holds.
class ScriptedSource {
 public:
  struct Entry {
    bool odd;
    float u;
    std::int32_t r;
  };
  explicit ScriptedSource(std::vector<Entry> script) : script_(std::move(script)) {}
  float Deviate() {
    if (next_ >= script_.size() || script_[next_].odd) {
      ADD_FAILURE() << "unexpected deviate draw #" << next_ + 1;
      return 0.5f;
    }
    return script_[next_++].u;
  }
  OddDraw OddInteger() {
    if (next_ >= script_.size() || !script_[next_].odd) {
      ADD_FAILURE() << "unexpected odd-integer draw #" << next_ + 1;
      return {1, kUniformScale};
    }
    return {script_[next_++].r, kUniformScale};
  }
  std::size_t used() const { return next_; }
  std::size_t size() const { return script_.size(); }

 private:
  std::vector<Entry> script_;
  std::size_t next_ = 0;
};

ScriptedSource::Entry U(float u) { return {false, u, 0}; }
ScriptedSource::Entry R(std::int32_t r) { return {true, 0.0f, r}; }
std::vector<ScriptedSource::Entry> Repeat(ScriptedSource::Entry e, int n) { return std::vector(static_cast<std::size_t>(n), e); }
std::vector<ScriptedSource::Entry> Join(std::initializer_list<std::vector<ScriptedSource::Entry>> parts) {
  std::vector<ScriptedSource::Entry> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Two equally frequent alleles: a deviate of 0.25 draws allele 1, 0.75 allele 2.
struct Fixture {
  Fixture(std::int32_t diploid, float mapLength, std::int32_t lociTo, std::int32_t nAllele = 2)
      : model{diploid, mapLength}, storage(diploid, nAllele, lociTo) {
    std::vector<double> afe(static_cast<std::size_t>(nAllele), 1.0 / nAllele);
    BuildCumAfe(afe, storage.CumAfe);
  }
  // Sets the alleles of one compacted locus: grandmother, grandfather
  // (one allele when haplodiploid), mother (from grandfather, from
  // grandmother) and child.
  void SetLocus(std::int32_t i, std::vector<std::int32_t> grand, std::vector<std::int32_t> mom,
                std::vector<std::int32_t> kid) {
    for (std::size_t j = 0; j < grand.size(); ++j)
      storage.GrandGene[static_cast<std::size_t>(i * storage.GrandRows) + j] = grand[j];
    for (std::size_t j = 0; j < mom.size(); ++j) storage.MomGene[static_cast<std::size_t>(i * 2) + j] = mom[j];
    for (std::size_t j = 0; j < kid.size(); ++j)
      storage.KidGene[static_cast<std::size_t>(i * storage.KidRows) + j] = kid[j];
  }
  bool AuntsExcluded(ScriptedSource& source, std::int32_t nAunts) {
    DrawByDrawReplicate<ScriptedSource> replicate(model, storage, cache, source);
    return replicate.AllAuntsExcluded(nAunts);
  }
  FamilyModel model;
  FamilyStorage storage;
  PoissonCache cache;
};

TEST(CumAfe, RunningSumEndsAtOnePointOne) {
  std::vector<float> cum(4);
  BuildCumAfe(std::vector<double>{0.1, 0.2, 0.3, 0.4}, cum);
  EXPECT_EQ(cum[0], 0.1f);
  EXPECT_EQ(cum[1], 0.1f + 0.2f);
  EXPECT_EQ(cum[2], (0.1f + 0.2f) + 0.3f);
  EXPECT_EQ(cum[3], 1.1f);
}

TEST(DrawAllele, FirstEntryAboveTheDeviate) {
  Fixture f(1, 999.0f, 1, 4);
  BuildCumAfe(std::vector<double>{0.5, 0.0, 0.5, 0.0}, f.storage.CumAfe);
  // A zero frequency below the last allele is never drawn; the largest
  // deviate still lands on the last allele because the table ends at 1.1.
  ScriptedSource source({U(0.25f), U(0.5f), U(0.99999994f)});
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  EXPECT_EQ(replicate.DrawAllele(), 1);
  EXPECT_EQ(replicate.DrawAllele(), 3);
  EXPECT_EQ(replicate.DrawAllele(), 3);
}

TEST(AuntExclusion, HaplodiploidThreeLoci) {
  Fixture f(0, 999.0f, 3);
  f.storage.NSeg = 3;
  f.SetLocus(0, {1, 2, 1}, {1, 0}, {2});
  f.SetLocus(1, {2, 3, 3}, {3, 0}, {3});
  f.SetLocus(2, {1, 4, 4}, {4, 0}, {1});
  MarkCandLoci(f.model, f.storage);
  EXPECT_EQ(f.storage.NCand, 2);
  EXPECT_EQ(f.storage.SkipFlag[0], 0);
  EXPECT_EQ(f.storage.SkipFlag[1], 1);
  EXPECT_EQ(f.storage.SkipFlag[2], 0);
  EXPECT_EQ(f.storage.CandLoci[0], 0);
  EXPECT_EQ(f.storage.CandLoci[1], 2);

  struct Case {
    std::vector<ScriptedSource::Entry> script;
    std::int32_t nAunts;
    bool excluded;
  };
  const Case cases[] = {
      {{U(0.3f)}, 1, true},                   // A2 = 1 at locus 1: excluded, locus 3 not visited
      {{U(0.7f), U(0.3f)}, 1, false},         // A2 = 2 (the son's), then 1 (the son's) at locus 3
      {{U(0.7f), U(0.7f)}, 1, true},          // A2 = 4 at locus 3
      {{U(0.3f), U(0.7f), U(0.3f)}, 5, false},  // the second aunt is not excluded: no further draws
  };
  for (const Case& c : cases) {
    ScriptedSource source(c.script);
    EXPECT_EQ(f.AuntsExcluded(source, c.nAunts), c.excluded);
    EXPECT_EQ(source.used(), source.size());
  }
}

TEST(AuntExclusion, DiploidCandidateLoci) {
  Fixture f(1, 999.0f, 1);
  f.storage.NSeg = 1;
  // Both grandparents heterozygous, child homozygous: only A1 = 3 and A2 = 2 exclude.
  f.SetLocus(0, {1, 2, 1, 3}, {1, 1}, {1, 1});
  MarkCandLoci(f.model, f.storage);
  ASSERT_EQ(f.storage.NCand, 1);
  {
    ScriptedSource source({U(0.3f)});  // A1 = 1 matches the child: A2 is not drawn
    EXPECT_FALSE(f.AuntsExcluded(source, 1));
    EXPECT_EQ(source.used(), 1u);
  }
  {
    ScriptedSource source({U(0.7f), U(0.7f)});
    EXPECT_TRUE(f.AuntsExcluded(source, 1));
  }
  {
    ScriptedSource source({U(0.7f), U(0.3f)});
    EXPECT_FALSE(f.AuntsExcluded(source, 1));
  }

  // Heterozygous mother makes the locus a candidate; A2 comes from a
  // homozygous grandmother without a draw.
  f.SetLocus(0, {1, 1, 1, 2}, {2, 1}, {2, 2});
  MarkCandLoci(f.model, f.storage);
  ASSERT_EQ(f.storage.NCand, 1);
  {
    ScriptedSource source({U(0.3f)});
    EXPECT_TRUE(f.AuntsExcluded(source, 1));
    EXPECT_EQ(source.used(), 1u);
  }
  {
    ScriptedSource source({U(0.7f)});
    EXPECT_FALSE(f.AuntsExcluded(source, 1));
  }

  // Neither both grandparents heterozygous nor the mother: not a candidate.
  f.SetLocus(0, {1, 1, 1, 2}, {1, 1}, {1, 1});
  MarkCandLoci(f.model, f.storage);
  EXPECT_EQ(f.storage.NCand, 0);
  // A heterozygous child is never a candidate locus.
  f.SetLocus(0, {1, 2, 1, 3}, {1, 2}, {1, 2});
  MarkCandLoci(f.model, f.storage);
  EXPECT_EQ(f.storage.NCand, 0);
  ScriptedSource none({});
  EXPECT_FALSE(f.AuntsExcluded(none, 3));
}

TEST(AuntExclusion, NoCandidateLocusStillDrawsTheFirstLinkedGamete) {
  Fixture f(0, 2.0f, 2);
  f.storage.NSeg = 2;
  f.SetLocus(0, {1, 2, 1}, {1, 1}, {1});
  f.SetLocus(1, {1, 2, 2}, {2, 1}, {2});
  MarkCandLoci(f.model, f.storage);
  ASSERT_EQ(f.storage.NCand, 0);
  // Poisson count 0 (one deviate below exp(-2)), then the homolog draw; the
  // replicate then fails before the second aunt.
  ScriptedSource source({U(0.01f), U(0.25f)});
  EXPECT_FALSE(f.AuntsExcluded(source, 3));
  EXPECT_EQ(source.used(), 2u);
}

TEST(SimulateFamily, CompactsSegregatingLoci) {
  Fixture f(1, 999.0f, 5);
  const auto a1 = U(0.25f);
  const auto a2 = U(0.75f);
  // Locus 2: grandmother (1, 2); locus 5: grandfather (2, 1); others all 1.
  std::vector<ScriptedSource::Entry> script = Join({Repeat(a1, 4), {a1, a2, a1, a1}, Repeat(a1, 8), {a1, a1, a2, a1}});
  const auto tail = Repeat(a1, 20);
  script.insert(script.end(), tail.begin(), tail.end());
  ScriptedSource source(script);
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  ASSERT_TRUE(replicate.SimulateFamily(5));
  EXPECT_EQ(f.storage.NSeg, 2);
  EXPECT_EQ(std::vector<std::int32_t>(f.storage.GrandGene.begin(), f.storage.GrandGene.begin() + 8),
            (std::vector<std::int32_t>{1, 2, 1, 1, 1, 1, 2, 1}));
}

TEST(SimulateFamily, NoSegregatingLocusFailsAfterTheGrandparents) {
  for (std::int32_t diploid : {0, 1}) {
    Fixture f(diploid, 2.0f, 6);
    ScriptedSource source(Repeat(U(0.25f), 6 * (diploid + 3)));
    DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
    EXPECT_FALSE(replicate.Run(6, 2));
    EXPECT_EQ(source.used(), source.size());
  }
}

TEST(SimulateFamily, LinkedDiploidChildDrawsPaternalAllelesTwice) {
  Fixture f(1, 2.0f, 1);
  ScriptedSource source({
      U(0.25f), U(0.75f), U(0.25f), U(0.25f),  // grandmother (1, 2), grandfather (1, 1)
      U(0.9f), U(0.01f),                       // grandmother's gamete: count 1 >= NSeg, picked per locus
      U(0.01f), U(0.25f),                      // grandfather's gamete: count 0, homolog 1
      U(0.75f),                                // the grandmother's pick: 2
      U(0.9f), U(0.01f),                       // child's maternal gamete: count 1 >= NSeg
      U(0.75f),                                // first paternal allele: 2
      U(0.25f), U(0.25f),                      // maternal pick 1, second paternal allele 1 stands
  });
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  ASSERT_TRUE(replicate.SimulateFamily(1));
  EXPECT_EQ(source.used(), source.size());
  EXPECT_EQ(f.storage.MomGene[0], 1);
  EXPECT_EQ(f.storage.MomGene[1], 2);
  EXPECT_EQ(f.storage.KidGene[0], 1);
  EXPECT_EQ(f.storage.KidGene[1], 1);
}

// Forms one gamete from homologs of all 1s and all 2s with a scripted
// Poisson count (MapLength 2: n deviates of 0.9 then one of 0.01 give n).
std::vector<std::int32_t> Gamete(std::int32_t nSeg, std::int32_t count, std::vector<ScriptedSource::Entry> draws) {
  Fixture f(1, 2.0f, nSeg);
  f.storage.NSeg = nSeg;
  std::vector<std::int32_t> h1(static_cast<std::size_t>(nSeg), 1), h2(static_cast<std::size_t>(nSeg), 2);
  std::vector<std::int32_t> out(static_cast<std::size_t>(nSeg), 0);
  ScriptedSource source(Join({Repeat(U(0.9f), count), {U(0.01f)}, draws}));
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  const GameteResult result = replicate.FormGamete({h1.data(), 1}, {h2.data(), 1}, {out.data(), 1});
  EXPECT_EQ(result.NCO, count);
  EXPECT_EQ(result.formed, count < nSeg);
  EXPECT_EQ(source.used(), source.size());
  return out;
}

TEST(FormGamete, CrossoverArithmetic) {
  using V = std::vector<std::int32_t>;
  // r = 1 puts the crossover at position 1, which switches nothing.
  EXPECT_EQ(Gamete(4, 1, {R(1), U(0.25f)}), Gamete(4, 0, {U(0.25f)}));
  EXPECT_EQ(Gamete(4, 0, {U(0.25f)}), (V{1, 1, 1, 1}));
  // r near 0.6 x 2^31 puts a crossover at position 3; two there act as one.
  EXPECT_EQ(Gamete(4, 1, {R(1288490189), U(0.25f)}), (V{1, 1, 2, 2}));
  EXPECT_EQ(Gamete(4, 2, {R(1288490189), R(1288490189), U(0.25f)}), (V{1, 1, 2, 2}));
  // The largest r with NSeg = 2 gives raw position 3, limited to 2.
  EXPECT_EQ(Gamete(2, 1, {R(2147483647), U(0.25f)}), (V{1, 2}));
  // A count of NSeg or more forms nothing and draws no position.
  EXPECT_EQ(Gamete(2, 2, {}), (V{0, 0}));
}

TEST(FormGamete, HomologChoiceAtHalfwayDeviates) {
  using V = std::vector<std::int32_t>;
  const float justBelowHalf = 0.5f - std::ldexp(1.0f, -24);  // (1 + u) + u rounds to 2
  const float furtherBelow = 0.5f - std::ldexp(1.0f, -23);   // stays below 2
  EXPECT_EQ(Gamete(3, 0, {U(justBelowHalf)}), (V{2, 2, 2}));
  EXPECT_EQ(Gamete(3, 0, {U(furtherBelow)}), (V{1, 1, 1}));
  EXPECT_EQ(Gamete(3, 0, {U(0.99999994f)}), (V{2, 2, 2}));  // floor 3, limited to 2
  EXPECT_EQ(Gamete(3, 1, {R(1288490189), U(justBelowHalf)}), (V{2, 1, 1}));

  // The same deviate picks the first allele in a free-recombination pick.
  Fixture f(1, 999.0f, 1);
  ScriptedSource source({U(justBelowHalf)});
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  EXPECT_EQ(replicate.UnlinkedPick(7, 8), 7);
  EXPECT_EQ(replicate.UnlinkedPick(8, 8), 8);  // no draw for a homozygous parent
}

TEST(FormGamete, AuntsStoreOnlyCandidateLoci) {
  Fixture f(1, 2.0f, 4);
  f.storage.NSeg = 4;
  for (std::int32_t i = 0; i < 4; ++i) f.storage.SkipFlag[static_cast<std::size_t>(i)] = i == 1 ? 0 : 1;
  std::vector<std::int32_t> h1(4, 1), h2(4, 2), out(4, 9);
  // A crossover at position 3, outside the only candidate locus 2, still
  // switches the homolog for the loci after it.
  ScriptedSource source({U(0.9f), U(0.01f), R(1288490189), U(0.25f)});
  DrawByDrawReplicate<ScriptedSource> replicate(f.model, f.storage, f.cache, source);
  replicate.FormGamete({h1.data(), 1}, {h2.data(), 1}, {out.data(), 1}, GameteStore::CandidateLoci);
  EXPECT_EQ(out, (std::vector<std::int32_t>{9, 1, 9, 9}));
}

TEST(Replicate, StepsOfWholeRunsMatchReferences) {
  for (const char* name : {"s02-diploid-linked", "s03-diploid-rejection", "s05-haplo-linked", "s07-odd-frequencies"}) {
    SCOPED_TRACE(name);
    const std::string dir = std::string("sim/") + name;
    const RunValues v = ReadParameters(Variant::Simulator, test::DataPath(dir + "/SimParameter.txt").string());
    std::ifstream stepsFile(test::DataPath(dir + "/steps.txt"));
    std::string label;
    std::int64_t expected = 0;
    stepsFile >> label >> expected;

    const FamilyModel model{v.Diploid, v.MapLength};
    FamilyStorage storage(v.Diploid, v.NAllele, v.LociRange.to);
    BuildCumAfe(v.Afe, storage.CumAfe);
    PoissonCache cache;
    CountingStream stream{UniformState{v.Seed}};
    DrawByDrawReplicate<CountingStream> replicate(model, storage, cache, stream);
    for (std::int32_t nLoci = v.LociRange.from; nLoci <= v.LociRange.to; ++nLoci)
      for (std::int32_t nAunts = v.AuntsRange.from; nAunts <= v.AuntsRange.to; ++nAunts)
        for (std::int32_t rep = 0; rep < v.NRep; ++rep) replicate.Run(nLoci, nAunts);
    EXPECT_EQ(stream.steps, expected);
  }
}

}  // namespace
}  // namespace exc
