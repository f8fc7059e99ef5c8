#include "minimizer/terminators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <variant>

#include "minimizer/lbfgsb.h"

namespace tarnwex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The state a terminator sees after a step: only x, g, f and f_previous matter.
LBFGSB state_at(Vector x, Vector g, double f, double f_previous) {
  LBFGSB state;
  state.x = std::move(x);
  state.g = std::move(g);
  state.f = f;
  state.f_previous = f_previous;
  return state;
}

LBFGSBConfig config_with(std::initializer_list<std::pair<double, double>> pairs) {
  const std::vector<std::pair<double, double>> list(pairs);
  return *with_bounds(LBFGSBConfig{}, list);
}

TEST(TerminatorsTest, NonPositiveTolerancesAreRejectedAndNaNIsAccepted) {
  const MinimizerError expected = MinimizerError::configuration("eps_abs must be greater than 0");
  EXPECT_EQ(LBFGSBFTerminator::create(0.0).error(), expected);
  EXPECT_EQ(LBFGSBGTerminator::create(-1.0).error(), expected);
  EXPECT_EQ(LBFGSBInfNormGTerminator::create(-0.0).error(), expected);
  EXPECT_EQ(LBFGSBFTerminator::create(1e-12)->eps_abs(), 1e-12);
  EXPECT_TRUE(LBFGSBInfNormGTerminator::create(kNaN).has_value());
}

TEST(TerminatorsTest, ObjectiveChangeRemembersTheValueUntilTwoChecksAgree) {
  auto terminator = *LBFGSBFTerminator::create(1e-8);
  GradientStatus status;
  LBFGSB state = state_at(Vector{{0.0}}, Vector{{1.0}}, 2.0,
                          std::numeric_limits<double>::infinity());
  EXPECT_EQ(terminator.check_for_termination(0, state, status, {}), TerminationDecision::Continue);
  EXPECT_EQ(state.f_previous, 2.0);

  state.f = 2.0 - 1e-9;
  EXPECT_EQ(terminator.check_for_termination(1, state, status, {}), TerminationDecision::Stop);
  EXPECT_EQ(status.message.display(), "Success: F_EVAL CONVERGED");
  EXPECT_EQ(state.f_previous, 2.0);
}

TEST(TerminatorsTest, ObjectiveChangeSkipsAStepThatOnlyEmptiedTheMemory) {
  auto terminator = *LBFGSBFTerminator::create(1e-8);
  GradientStatus status;
  LBFGSB state = state_at(Vector{{0.0}}, Vector{{1.0}}, 2.0, 2.0);
  // What a step whose line search failed with pairs in memory leaves behind.
  state.f_previous = std::numeric_limits<double>::infinity();
  EXPECT_EQ(terminator.check_for_termination(4, state, status, {}), TerminationDecision::Continue);
  EXPECT_EQ(status.message.kind, StatusType::Uninitialized);

  // The next step that moves compares with the value before the reset.
  state.f = 1.0;
  EXPECT_EQ(terminator.check_for_termination(5, state, status, {}), TerminationDecision::Continue);
  EXPECT_EQ(state.f_previous, 1.0);
}

TEST(TerminatorsTest, ObjectiveChangeNeverStopsOnNaN) {
  GradientStatus status;
  LBFGSB state = state_at(Vector{{0.0}}, Vector{{1.0}}, kNaN, kNaN);
  auto nan_tolerance = *LBFGSBFTerminator::create(kNaN);
  state.f = state.f_previous = 1.0;
  EXPECT_EQ(nan_tolerance.check_for_termination(3, state, status, {}),
            TerminationDecision::Continue);
  auto terminator = *LBFGSBFTerminator::create(1.0);
  state.f = kNaN;
  EXPECT_EQ(terminator.check_for_termination(3, state, status, {}), TerminationDecision::Continue);
  EXPECT_EQ(status.message.kind, StatusType::Uninitialized);
}

TEST(TerminatorsTest, GradientNormComparesStrictlyWithTheEuclideanNorm) {
  GradientStatus status;
  LBFGSB state = state_at(Vector{{0.0, 0.0}}, Vector{{3.0, -4.0}}, 0.0, 1.0);
  EXPECT_EQ(LBFGSBGTerminator::create(5.0)->check_for_termination(0, state, status, {}),
            TerminationDecision::Continue);
  auto terminator = *LBFGSBGTerminator::create(5.000001);
  EXPECT_EQ(terminator.check_for_termination(0, state, status, {}), TerminationDecision::Stop);
  EXPECT_EQ(status.message.display(), "Success: GRADIENT CONVERGED");
}

TEST(TerminatorsTest, ProjectedGradientIgnoresComponentsPushingOutOfTheBox) {
  // x0 on its lower bound pushed down, x1 on its upper bound pushed up, x2 free with g = 0.
  const LBFGSBConfig config = config_with({{0.0, 1.0}, {-5.0, 2.0}, {-1.0, 1.0}});
  LBFGSB state = state_at(Vector{{0.0, 2.0, 0.5}}, Vector{{7.0, -3.0, 0.0}}, 0.0, 1.0);
  GradientStatus status;
  EXPECT_EQ(LBFGSBGTerminator::create(1e-6)->check_for_termination(0, state, status, config),
            TerminationDecision::Continue);
  auto terminator = *LBFGSBInfNormGTerminator::create(1e-6);
  EXPECT_EQ(terminator.check_for_termination(0, state, status, config), TerminationDecision::Stop);
  EXPECT_EQ(status.message.display(), "Success: PROJECTED GRADIENT WITHIN TOLERANCE");

  // Without bounds the whole gradient counts.
  EXPECT_EQ(terminator.check_for_termination(0, state, status, {}), TerminationDecision::Continue);
}

TEST(TerminatorsTest, OnlyCoordinatesWithinTwoToTheMinus26OfABoundCountAsOnIt) {
  const LBFGSBConfig config = config_with({{0.0, std::numeric_limits<double>::infinity()}});
  auto terminator = *LBFGSBInfNormGTerminator::create(1.0);
  GradientStatus status;
  LBFGSB near = state_at(Vector{{1e-9}}, Vector{{3.0}}, 0.0, 1.0);
  EXPECT_EQ(terminator.check_for_termination(0, near, status, config), TerminationDecision::Stop);
  LBFGSB off = state_at(Vector{{1e-7}}, Vector{{3.0}}, 0.0, 1.0);
  EXPECT_EQ(terminator.check_for_termination(0, off, status, config),
            TerminationDecision::Continue);
  // Pulled into the box, the component counts even on the bound.
  LBFGSB inward = state_at(Vector{{0.0}}, Vector{{-3.0}}, 0.0, 1.0);
  EXPECT_EQ(terminator.check_for_termination(0, inward, status, config),
            TerminationDecision::Continue);
}

TEST(TerminatorsTest, MaxStepsStopsAfterTheLimitAndTreatsZeroAsOne) {
  LBFGSB state;
  GradientStatus status;
  EXPECT_EQ(MaxSteps(0).check_for_termination(0, state, status, {}), TerminationDecision::Stop);
  EXPECT_EQ(MaxSteps(1).check_for_termination(0, state, status, {}), TerminationDecision::Stop);
  MaxSteps three(3);
  EXPECT_EQ(three.check_for_termination(1, state, status, {}), TerminationDecision::Continue);
  EXPECT_EQ(three.check_for_termination(2, state, status, {}), TerminationDecision::Stop);
  EXPECT_EQ(status.message.kind, StatusType::Message);
  EXPECT_EQ(status.message.display(), "Message: Maximum number of steps reached (3)");
}

class SilentObserver final : public Observer {
 public:
  void observe(std::size_t, const LBFGSB&, const GradientStatus&, const LBFGSBConfig&) override {}
};

TEST(TerminatorsTest, CallbackListsKeepTheOrderOfAddition) {
  Callbacks callbacks;
  callbacks = with_observer(std::move(callbacks), std::make_unique<SilentObserver>());
  callbacks = with_terminator(std::move(callbacks), std::make_unique<MaxSteps>(4));
  callbacks = with_terminator(std::move(callbacks), std::make_unique<MaxSteps>(7));
  ASSERT_EQ(callbacks.entries.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<std::unique_ptr<Observer>>(callbacks.entries[0]));
  const auto& second = std::get<std::unique_ptr<Terminator>>(callbacks.entries[1]);
  const auto& third = std::get<std::unique_ptr<Terminator>>(callbacks.entries[2]);
  EXPECT_EQ(dynamic_cast<const MaxSteps&>(*second).max_steps(), 4u);
  EXPECT_EQ(dynamic_cast<const MaxSteps&>(*third).max_steps(), 7u);
}

}  // namespace
}  // namespace tarnwex
