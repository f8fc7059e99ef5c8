#include "fit/densities/gaussian_integrals.h"

#include <gtest/gtest.h>

#include <cmath>

// The shared special functions against values computed with mpmath at 60
// digits or more (tail moments from erfc, segment moments by quadrature),
// at the points where their methods change: the erfc route and the
// continued fraction at s = 1, the term counts at 1.5 and 20, the
// quadrature and the difference of tail moments at an exponent span of 4.

namespace tarnwex::densities {
namespace {

void expect_relative(double got, double expected, double tolerance) {
  EXPECT_LE(std::abs(got - expected), tolerance * std::abs(expected))
      << "got " << got << ", expected " << expected;
}

struct TailCase {
  double s, t0, t1, t2;
};

TEST(GaussianTailMoments, MatchMpmathToAFewUlpsOnEitherSideOfEverySwitch) {
  constexpr TailCase kCases[] = {
    {0.0, 1.2533141373155002512, 1.0000000000000000000, 1.2533141373155002512},
    {0.75, 7.5257117906340805146e-1, 4.3557161570244396141e-1, 4.2589246728657508040e-1},
    {0.9999999999999999, 6.5567954241879850977e-1, 3.4432045758120156302e-1, 3.1135908483759698497e-1},
    {1.0, 6.5567954241879847154e-1, 3.4432045758120152846e-1, 3.1135908483759694309e-1},
    {1.4999999999999998, 5.1581563821796340527e-1, 2.2627654267305500663e-1, 1.7640082420838094557e-1},
    {1.5, 5.1581563821796335503e-1, 2.2627654267305496746e-1, 1.7640082420838090384e-1},
    {2.5, 3.5426511132979366678e-1, 1.1433722167551583304e-1, 6.8422057141004084184e-2},
    {4.0, 2.3665238291356067062e-1, 5.3390468345757317504e-2, 2.3090509530531400608e-2},
    {7.5, 1.3107935580449176349e-1, 1.6904831466311773837e-2, 4.2931198071534597084e-3},
    {19.999999999999996, 4.9875925981836792474e-2, 2.4814803632643277103e-3, 2.4631871655024708445e-4},
    {20.0, 4.9875925981836783658e-2, 2.4814803632643268352e-3, 2.4631871655024695447e-4},
    {250.0, 3.9999360030717542675e-3, 1.5999232061433119711e-5, 1.2798771347433983867e-7},
    {100000.0, 9.9999999990000000003e-6, 9.9999999970000000015e-11, 1.9999999988000000009e-15},
  };
  for (const TailCase& c : kCases) {
    SCOPED_TRACE(c.s);
    const GaussianTailMoments got = gaussian_tail_moments(c.s);
    expect_relative(got.t0, c.t0, 1e-15);
    expect_relative(got.t1, c.t1, 1e-15);
    expect_relative(got.t2, c.t2, 2e-15);
  }
}

struct SegmentCase {
  double p, h, m0, m1, m2;
};

TEST(GaussianSegmentMoments, MatchMpmathOnBothSidesOfTheQuadratureSwitch) {
  constexpr SegmentCase kCases[] = {
    {0.0, 2.8284271247461903, 1.2474514659331384628, 9.8168436111126582972e-1, 1.1956470160931865657},
    {0.0, 2.82842712474619, 1.2474514659331384547, 9.8168436111126580672e-1, 1.1956470160931865006},
    {0.0, 2.8284271247461907, 1.2474514659331384710, 9.8168436111126585273e-1, 1.1956470160931866308},
    {30.0, 0.133, 3.2688557710584280625e-2, 1.0064538409508929015e-3, 5.6146108135241900777e-5},
    {30.0, 0.1332, 3.2692214044829720707e-2, 1.0069404986717055811e-3, 5.6210882241188170872e-5},
    {30.0, 1e-06, 9.9998500014983216684e-7, 4.9999000011237405776e-13, 3.3332583342323254059e-19},
    {5.0, 10.0, 1.9280810471531576488e-1, 3.5959476423421175613e-2, 1.3010722598209886814e-2},
    {0.0, 50.0, 1.2533141373155002512, 1.0000000000000000000, 1.2533141373155002512},
    {38.5, 1.5, 2.5956537944110659037e-2, 6.7328915173962707468e-4, 3.4905602135016661681e-5},
  };
  for (const SegmentCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.p << " " << c.h);
    const SegmentMoments got = gaussian_segment_moments(c.p, c.h);
    expect_relative(got.m0, c.m0, 2e-15);
    expect_relative(got.m1, c.m1, 2e-15);
    expect_relative(got.m2, c.m2, 2e-15);
  }
}

TEST(GaussianWindowMoments, MirrorTheSegmentBelowTheReference) {
  const SegmentMoments up = gaussian_segment_moments(1.5, 2.0);
  const SegmentMoments down = gaussian_window_moments(-1.5, 2.0, 0.0);
  EXPECT_EQ(down.m0, up.m0);
  EXPECT_EQ(down.m1, -up.m1);
  EXPECT_EQ(down.m2, up.m2);
}

TEST(StandardisedOffset, KeepsTheDigitsThatANaiveSumCancels) {
  // (1 - 0.1 - 3 * 0.3) / 0.3 with the decimals' exact binary values; the
  // plain expression gives 3.7e-16.
  expect_relative(standardised_offset(1.0, 0.1, 0.3, -3.0), 9.2518585385429715126e-17, 4e-16);
}

TEST(Log1pGap, MatchesMpmathOnBothSidesOfTheSeriesSwitch) {
  constexpr double kCases[][2] = {
      {1e-08, 4.9999999333333342926e-17},
      {0.49999999999999994, 7.2131774774831036309e-2},
      {0.5, 7.2131774774831048645e-2},
      {3.0, 6.3629436111989061883e-1},
      {1000000.0, 1.2815512557962774105e+1},
  };
  for (const auto& [y, gap] : kCases) {
    SCOPED_TRACE(y);
    expect_relative(log1p_gap(y, std::log1p(y)), gap, 1e-15);
  }
}

}  // namespace
}  // namespace tarnwex::densities
