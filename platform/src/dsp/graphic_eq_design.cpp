#include "dsp/graphic_eq_design.h"

#include <algorithm>
#include <cmath>

namespace xnq::dsp {
namespace {

constexpr double kOctaveCentres[10] = {31.5, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
constexpr double kThirdOctaveCentres[31] = {
    20,  25,   31.5, 40,   50,   63,   80,   100,  125,  160,  200,  250,   315,   400,   500,  630,
    800, 1000, 1250, 1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

// A bell's analog prototype, normalised to its prewarped centre: at the normalised frequency W
// its power gain is (d^2 + q u) / (d^2 + q / u) with d = 1 - W^2, q = (k0 W)^2 and u the linear
// gain at the centre. The two terms below are d^2 and q of one band at one frequency.
struct Shape {
  double d2, q;
};

Shape shapeAt(double g, double k0, double tanHalf) {
  double w = tanHalf / g, d = 1 - w * w;
  return {d * d, k0 * k0 * w * w};
}

double gainDb(const Shape &s, double u) {
  return 10 * std::log10((s.d2 + s.q * u) / (s.d2 + s.q / u));
}

// The slope of gainDb in dB per dB of the centre gain.
double slope(const Shape &s, double u) {
  return 0.5 * (s.q * u / (s.d2 + s.q * u) + s.q / (u * (s.d2 + s.q / u)));
}

// Solves m x = v in place (v becomes x) by Gaussian elimination with partial pivoting.
void solve(double (*m)[kMaxEqBands], double *v, int n) {
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    for (int r = col + 1; r < n; ++r)
      if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
    if (pivot != col) {
      std::swap_ranges(m[col], m[col] + n, m[pivot]);
      std::swap(v[col], v[pivot]);
    }
    if (m[col][col] == 0) continue;
    for (int r = col + 1; r < n; ++r) {
      double factor = m[r][col] / m[col][col];
      for (int c = col; c < n; ++c) m[r][c] -= factor * m[col][c];
      v[r] -= factor * v[col];
    }
  }
  for (int r = n - 1; r >= 0; --r) {
    double sum = v[r];
    for (int c = r + 1; c < n; ++c) sum -= m[r][c] * v[c];
    v[r] = m[r][r] == 0 ? 0 : sum / m[r][r];
  }
}

}  // namespace

const double *eqBandCentres(int bands) {
  return bands == 10 ? kOctaveCentres : kThirdOctaveCentres;
}

double eqBandwidthOctaves(int bands) { return 1.2 * (bands == 10 ? 1.0 : 1.0 / 3.0); }

int designGraphicEq(int bands, const float *gainsDb, double sampleRate, EqFilter *out) {
  const double *centres = eqBandCentres(bands);
  int n = 0;
  while (n < bands && centres[n] < 0.49 * sampleRate) ++n;
  bool any = false;
  for (int i = 0; i < n; ++i) any = any || gainsDb[i] != 0;
  if (!any) return 0;

  // Each band's prewarped centre g and its 1/Q, k0, with the bandwidth prewarped as well.
  double g[kMaxEqBands], k0[kMaxEqBands], gain[kMaxEqBands];
  Shape shape[kMaxEqBands][kMaxEqBands];  // [centre][band]
  const double halfLn2 = 0.5 * std::log(2.0), bandwidth = eqBandwidthOctaves(bands);
  for (int j = 0; j < n; ++j) {
    double w0 = 2 * M_PI * centres[j] / sampleRate;
    g[j] = std::tan(w0 / 2);
    k0[j] = 2 * std::sinh(halfLn2 * bandwidth * w0 / std::sin(w0));
    gain[j] = gainsDb[j];
  }
  for (int k = 0; k < n; ++k)
    for (int j = 0; j < n; ++j) shape[k][j] = shapeAt(g[j], k0[j], g[k]);

  // Newton's method on the band gains: the response at each centre is the sum of every band's
  // response there, and the slopes of those responses lead to the correction. The responses
  // are smooth in the gains, so three or four steps bring every centre within a thousandth of
  // a dB.
  double jacobian[kMaxEqBands][kMaxEqBands], error[kMaxEqBands];
  for (int step = 0; step < 12; ++step) {
    double u[kMaxEqBands];
    for (int j = 0; j < n; ++j) u[j] = std::pow(10.0, gain[j] / 20);
    double worst = 0;
    for (int k = 0; k < n; ++k) {
      double response = 0;
      for (int j = 0; j < n; ++j) {
        response += gainDb(shape[k][j], u[j]);
        jacobian[k][j] = slope(shape[k][j], u[j]);
      }
      error[k] = gainsDb[k] - response;
      worst = std::max(worst, std::fabs(error[k]));
    }
    if (worst < 1e-4) break;
    solve(jacobian, error, n);
    for (int j = 0; j < n; ++j) gain[j] = std::clamp(gain[j] + error[j], -40.0, 30.0);
  }

  int count = 0;
  for (int j = 0; j < n; ++j) {
    if (std::fabs(gain[j]) < 1e-4) continue;
    double a = std::pow(10.0, gain[j] / 40), k = k0[j] / a;
    double a1 = 1 / (1 + g[j] * (g[j] + k));
    out[count++] = EqFilter{j, Bell{a1, g[j] * a1, 2 * g[j], k * (a * a - 1)}};
  }
  return count;
}

}  // namespace xnq::dsp
