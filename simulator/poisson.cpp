#include "simulator/poisson.hpp"

namespace exc {

namespace {

constexpr double c0 = 1.000000000190015;
constexpr double c1 = 76.18009172947146;
constexpr double c2 = -86.50532032941678;
constexpr double c3 = 24.01409824083091;
constexpr double c4 = -1.231739572450155;
constexpr double c5 = 0.001208650973866179;
constexpr double c6 = -5.395239384953e-06;
constexpr double kSqrtTwoPi = 2.5066282746310007;

double Finish(double x, double s) {
  const double t = x + 5.5;
  return std::log((kSqrtTwoPi / x) * s) + (((x + 0.5) * std::log(t)) - t);
}

}  // namespace

double LogGammaOrderA(double x) {
  const double s = (((((c1 / (x + 1) + c0) + c2 / (x + 2)) + c3 / (x + 3)) + c4 / (x + 4)) + c5 / (x + 5)) + c6 / (x + 6);
  return Finish(x, s);
}

double LogGammaOrderB(double x) {
  const double s = (((c1 / (x + 1) + c5 / (x + 5)) + c3 / (x + 3)) + ((c2 / (x + 2) + c6 / (x + 6)) + c4 / (x + 4))) + c0;
  return Finish(x, s);
}

}  // namespace exc
