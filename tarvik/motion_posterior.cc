// The posterior over a vehicle's body motions.
//
// Each motion is a sine of unknown frequency in the body's range; with the
// frequencies given, the readings are linear in the motions' amplitudes and
// in one static load per axle. The frequencies are not guessed: every
// combination on a grid (and "no such motion") is weighed by how well it
// explains the readings against how much it could explain by chance (the
// evidence of a Bayesian linear model with a prior on the amplitudes), and
// the static loads are the average over all of them by that weight. A
// vehicle whose readings cannot tell a slow motion from a static load thus
// keeps close to the plain average, and one whose readings show the motion
// clearly loses it.
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double MIN_HZ = 0.5, MAX_HZ = 4.0;  // body modes of rail vehicles
constexpr double KEEP_MASS = 0.999;          // the likeliest combinations that hold this much are kept
constexpr size_t KEEP_TERMS = 24;            // ...but no more of them

size_t Frequencies(double step_hz) { return static_cast<size_t>(std::lround((MAX_HZ - MIN_HZ) / step_hz)) + 1; }

// A small symmetric positive definite system a x = b solved by Cholesky,
// row by row: the systems of the posterior share their first rows (the
// body's frequency) over every pitch frequency, and those rows are
// factored once. `rows` rows of `a` hold L and of `x` the forward
// substitution; the others hold the system as given.
struct SmallSystem {
  std::array<double, 16> a{};
  std::array<double, 4> x{};
  double determinant = 1;  // the product of the pivots; one logarithm at the end
  size_t rows = 0;
};

// Factors the rows up to n; false when the system is not positive definite.
bool FactorRows(SmallSystem* system, size_t n) {
  std::array<double, 16>& a = system->a;
  for (size_t i = system->rows; i < n; ++i) {
    for (size_t j = 0; j <= i; ++j) {
      double s = a[i * 4 + j];
      for (size_t k = 0; k < j; ++k) s -= a[i * 4 + k] * a[j * 4 + k];
      if (i == j) {
        if (!(s > 0)) return false;
        a[i * 4 + i] = std::sqrt(s);
        system->determinant *= s;
      } else {
        a[i * 4 + j] = s / a[j * 4 + j];
      }
    }
    double s = system->x[i];
    for (size_t k = 0; k < i; ++k) s -= a[i * 4 + k] * system->x[k];
    system->x[i] = s / a[i * 4 + i];
  }
  system->rows = n;
  return true;
}

// The solution of a fully factored system into *x; returns log det a. With
// `inverse_diagonal`, also the diagonal of a's inverse.
double Solve(const SmallSystem& system, std::array<double, 4>* x, std::array<double, 4>* inverse_diagonal) {
  const std::array<double, 16>& a = system.a;
  const size_t n = system.rows;
  *x = system.x;
  for (size_t i = n; i-- > 0;) {
    double s = (*x)[i];
    for (size_t k = i + 1; k < n; ++k) s -= a[k * 4 + i] * (*x)[k];
    (*x)[i] = s / a[i * 4 + i];
  }
  if (inverse_diagonal) {
    // (L L^T)^-1 = L^-T L^-1: its diagonal holds the sums of squares of
    // L^-1's columns.
    std::array<std::array<double, 4>, 4> inverse{};
    for (size_t c = 0; c < n; ++c) {
      std::array<double, 4> e{};
      e[c] = 1;
      for (size_t i = 0; i < n; ++i) {
        double s = e[i];
        for (size_t k = 0; k < i; ++k) s -= a[i * 4 + k] * e[k];
        e[i] = s / a[i * 4 + i];
      }
      for (size_t i = 0; i < n; ++i) inverse[i][c] = e[i];  // L^-1
    }
    for (size_t c = 0; c < n; ++c) {
      double sum = 0;
      for (size_t i = 0; i < n; ++i) sum += inverse[i][c] * inverse[i][c];
      (*inverse_diagonal)[c] = sum;
    }
  }
  return n ? std::log(system.determinant) : 0.0;
}

// What the systems of one series share: the columns' sums with themselves,
// their partners and z, their axle means, and the tables from which the
// cross products of two motions' columns follow.
struct ColumnSums {
  size_t frequencies, axles;
  const double *axle_weight, *mean, *gram, *rhs;
  double base;  // the sum of z's squares about the axle means
  const double *difference_cos, *difference_sin, *sum_cos, *sum_sin;
};

// The cross products of the body's columns at frequency i and the pitch's
// at j (cos-cos, cos-sin, sin-cos, sin-sin), from sums over frequency
// differences and sums (a product of two sines is a sum of two), less what
// the centring takes out group by group: a few table lookups per pair
// instead of a pass over the readings.
std::array<double, 4> CrossProducts(const ColumnSums& sums, size_t i, size_t j) {
  size_t k = i > j ? i - j : j - i;
  double dc = sums.difference_cos[k], ds = i >= j ? sums.difference_sin[k] : -sums.difference_sin[k];
  double sc = sums.sum_cos[i + j], ss = sums.sum_sin[i + j];
  std::array<double, 4> out = {0.5 * (dc + sc), 0.5 * (ss - ds), 0.5 * (ss + ds), 0.5 * (dc - sc)};
  const size_t axles = sums.axles;
  const double* mi = &sums.mean[(i * 2) * axles];
  const double* mj = &sums.mean[((sums.frequencies + j) * 2) * axles];
  for (size_t a = 0; a < axles; ++a) {
    double w = sums.axle_weight[a];
    out[0] -= w * mi[a] * mj[a];
    out[1] -= w * mi[a] * mj[axles + a];
    out[2] -= w * mi[axles + a] * mj[a];
    out[3] -= w * mi[axles + a] * mj[axles + a];
  }
  return out;
}

// The combinations weighed so far, in the order they were weighed.
struct Combinations {
  std::vector<MotionTerm> terms;
  std::vector<double> log_evidence;
  std::vector<std::array<double, 2>> moments;  // per motion, the squared amplitude expected

  // One more: its frequencies on the grid of `step_hz` (-1: motion absent)
  // and what its fit gave.
  void Add(int f0, int f1, double step_hz, const std::array<double, 4>& amplitude,
           const std::array<double, 2>& moment, double evidence) {
    MotionTerm term;
    term.frequency = {f0, f1};
    term.hz = {MIN_HZ + step_hz * f0, MIN_HZ + step_hz * f1};
    term.amplitude = amplitude;
    terms.push_back(term);
    log_evidence.push_back(evidence);
    moments.push_back(moment);
  }
};

// The pitch rows of every system with one body frequency, per pitch
// frequency side by side.
struct PairLanes {
  explicit PairLanes(size_t frequencies)
      : l20(frequencies), l21(frequencies), l22(frequencies), l30(frequencies), l31(frequencies),
        l32(frequencies), l33(frequencies), y2(frequencies), y3(frequencies), x0(frequencies), x1(frequencies),
        x2(frequencies), x3(frequencies), determinant(frequencies), v0(frequencies), v1(frequencies),
        v2(frequencies), v3(frequencies), valid(frequencies) {}
  std::vector<double> l20, l21, l22, l30, l31, l32, l33, y2, y3, x0, x1, x2, x3, determinant;
  std::vector<double> v0, v1, v2, v3;  // the inverse's diagonal, when learning
  std::vector<uint8_t> valid;
};

struct PairPrior {
  double pitch_precision;
  std::array<double, 2> log_on;
  double step_hz;
  bool learning;
};

// Both motions present: the body's frequency f0 (its rows factored in
// `body`) with every pitch frequency at once. Each system is factored,
// solved and weighed in the very steps FactorRows and Solve take, lane by
// lane, so that the loops run as vector operations; the combinations are
// added in the order of their pitch frequencies.
void WeighPairs(const ColumnSums& sums, const SmallSystem& body, size_t f0, const PairPrior& prior, PairLanes* lanes,
                Combinations* weighed) {
  const size_t F = sums.frequencies;
  PairLanes& lane = *lanes;
  const double* gram = sums.gram;
  const double* rhs = sums.rhs;
  const std::array<double, 16>& b = body.a;
  const double l00 = b[0], l10 = b[4], l11 = b[5], y0 = body.x[0], y1 = body.x[1];
  for (size_t j = 0; j < F; ++j) {
    const std::array<double, 4> c = CrossProducts(sums, f0, j);
    const size_t column = (F + j) * 2;
    double l20 = c[0] / l00;
    double l21 = (c[2] - l20 * l10) / l11;
    double s22 = gram[column * 2] + prior.pitch_precision;
    s22 -= l20 * l20;
    s22 -= l21 * l21;
    double l22 = std::sqrt(s22);
    double l30 = c[1] / l00;
    double l31 = (c[3] - l30 * l10) / l11;
    double s32 = gram[(column + 1) * 2 + 1];
    s32 -= l30 * l20;
    s32 -= l31 * l21;
    double l32 = s32 / l22;
    double s33 = gram[(column + 1) * 2] + prior.pitch_precision;
    s33 -= l30 * l30;
    s33 -= l31 * l31;
    s33 -= l32 * l32;
    double l33 = std::sqrt(s33);
    double t2 = rhs[column];
    t2 -= l20 * y0;
    t2 -= l21 * y1;
    double y2 = t2 / l22;
    double t3 = rhs[column + 1];
    t3 -= l30 * y0;
    t3 -= l31 * y1;
    t3 -= l32 * y2;
    lane.valid[j] = s22 > 0 && s33 > 0;
    lane.l20[j] = l20, lane.l21[j] = l21, lane.l22[j] = l22, lane.l30[j] = l30, lane.l31[j] = l31;
    lane.l32[j] = l32, lane.l33[j] = l33, lane.y2[j] = y2, lane.y3[j] = t3 / l33;
    lane.determinant[j] = body.determinant * s22 * s33;
  }
  for (size_t j = 0; j < F; ++j) {
    double x3 = lane.y3[j] / lane.l33[j];
    double x2 = (lane.y2[j] - lane.l32[j] * x3) / lane.l22[j];
    double s1 = y1;
    s1 -= lane.l21[j] * x2;
    s1 -= lane.l31[j] * x3;
    double x1 = s1 / l11;
    double s0 = y0;
    s0 -= l10 * x1;
    s0 -= lane.l20[j] * x2;
    s0 -= lane.l30[j] * x3;
    lane.x0[j] = s0 / l00, lane.x1[j] = x1, lane.x2[j] = x2, lane.x3[j] = x3;
  }
  if (prior.learning) {
    // The diagonal of the inverse: the sums of squares of L^-1's columns.
    for (size_t j = 0; j < F; ++j) {
      double l20 = lane.l20[j], l21 = lane.l21[j], l22 = lane.l22[j], l30 = lane.l30[j], l31 = lane.l31[j];
      double l32 = lane.l32[j], l33 = lane.l33[j];
      double e0 = 1 / l00, e1 = -(l10 * e0) / l11;
      double e2 = -(l20 * e0);
      e2 -= l21 * e1;
      e2 /= l22;
      double e3 = -(l30 * e0);
      e3 -= l31 * e1;
      e3 -= l32 * e2;
      e3 /= l33;
      lane.v0[j] = e0 * e0 + e1 * e1 + e2 * e2 + e3 * e3;
      double g1 = 1 / l11, g2 = -(l21 * g1) / l22;
      double g3 = -(l31 * g1);
      g3 -= l32 * g2;
      g3 /= l33;
      lane.v1[j] = g1 * g1 + g2 * g2 + g3 * g3;
      double h2 = 1 / l22, h3 = -(l32 * h2) / l33;
      lane.v2[j] = h2 * h2 + h3 * h3;
      double i3 = 1 / l33;
      lane.v3[j] = i3 * i3;
    }
  }
  for (size_t j = 0; j < F; ++j) {
    if (!lane.valid[j]) continue;
    const size_t column = (F + j) * 2;
    const std::array<double, 4> x = {lane.x0[j], lane.x1[j], lane.x2[j], lane.x3[j]};
    double explained = 0;
    explained += x[0] * rhs[f0 * 2];
    explained += x[1] * rhs[f0 * 2 + 1];
    explained += x[2] * rhs[column];
    explained += x[3] * rhs[column + 1];
    double evidence =
        -0.5 * (sums.base - explained) - 0.5 * std::log(lane.determinant[j]) + prior.log_on[0] + prior.log_on[1];
    weighed->Add(static_cast<int>(f0), static_cast<int>(j), prior.step_hz, x,
                 {x[0] * x[0] + x[1] * x[1] + lane.v0[j] + lane.v1[j],
                  x[2] * x[2] + x[3] * x[3] + lane.v2[j] + lane.v3[j]},
                 evidence);
  }
}

// One combination's motion at a moment, given how strongly each motion
// shows there.
double TermMotion(const MotionTerm& term, double time_s, const std::array<double, 2>& rho) {
  double value = 0;
  for (size_t m = 0; m < 2; ++m) {
    if (term.frequency[m] < 0) continue;
    double angle = 2 * std::numbers::pi * term.hz[m] * time_s;
    value += rho[m] * (term.amplitude[2 * m] * std::cos(angle) + term.amplitude[2 * m + 1] * std::sin(angle));
  }
  return value;
}

}  // namespace

MotionPosterior Marginalise(const MotionSeries& series, size_t axles, size_t motions,
                            const std::array<double, 2>& prior, const std::array<double, 2>& presence,
                            double step_hz, bool learning) {
  const size_t FREQUENCIES = Frequencies(step_hz);
  MotionPosterior posterior;
  size_t n = series.z.size();
  posterior.static_z.assign(axles, 0);
  std::vector<double> axle_weight(axles, 0);
  for (size_t r = 0; r < n; ++r) {
    axle_weight[series.axle[r]] += series.weight[r];
    posterior.static_z[series.axle[r]] += series.weight[r] * series.z[r];
  }
  for (size_t a = 0; a < axles; ++a)
    if (axle_weight[a] > 0) posterior.static_z[a] /= axle_weight[a];
  if (n == 0) return posterior;

  // Columns per motion and frequency, and their means per axle: the static
  // loads are free, so everything is taken about each axle's mean.
  std::vector<double> zc(n);
  double base = 0;
  for (size_t r = 0; r < n; ++r) {
    zc[r] = series.z[r] - posterior.static_z[series.axle[r]];
    base += series.weight[r] * zc[r] * zc[r];
  }
  const size_t columns = motions * FREQUENCIES * 2;
  std::vector<double> column_values(columns * n), mean(columns * axles, 0);  // and each column's axle means
  // The sines along the grid of frequencies by rotation: one sine and
  // cosine per reading, not one per frequency. Every reading turns by its
  // own step; a frequency's column is written whole, reading after reading.
  const double step_omega = 2 * std::numbers::pi * step_hz, first_omega = 2 * std::numbers::pi * MIN_HZ;
  std::vector<double> cosine(n), sine(n), step_cos(n), step_sin(n), strength(motions * n);
  for (size_t r = 0; r < n; ++r) {
    double t = series.time_s[r];
    step_cos[r] = std::cos(step_omega * t), step_sin[r] = std::sin(step_omega * t);
    cosine[r] = std::cos(first_omega * t), sine[r] = std::sin(first_omega * t);
    for (size_t m = 0; m < motions; ++m) strength[m * n + r] = series.rho[r][m];
  }
  for (size_t f = 0; f < FREQUENCIES; ++f) {
    for (size_t m = 0; m < motions; ++m) {
      size_t c0 = (m * FREQUENCIES + f) * 2;
      double* cos_column = &column_values[c0 * n];
      double* sin_column = &column_values[(c0 + 1) * n];
      const double* rho = &strength[m * n];
      for (size_t r = 0; r < n; ++r) cos_column[r] = rho[r] * cosine[r], sin_column[r] = rho[r] * sine[r];
    }
    for (size_t r = 0; r < n; ++r) {
      double next = cosine[r] * step_cos[r] - sine[r] * step_sin[r];
      sine[r] = sine[r] * step_cos[r] + cosine[r] * step_sin[r];
      cosine[r] = next;
    }
  }
  // An axle's readings come one after another: its sum over a run of them
  // is carried in a register, not stored and loaded again with each reading.
  std::vector<size_t> run_start;
  for (size_t r = 0; r < n; ++r)
    if (r == 0 || series.axle[r] != series.axle[r - 1]) run_start.push_back(r);
  run_start.push_back(n);
  for (size_t c = 0; c < columns; ++c) {
    double* column_mean = &mean[c * axles];
    const double* column = &column_values[c * n];
    for (size_t k = 0; k + 1 < run_start.size(); ++k) {
      double sum = column_mean[series.axle[run_start[k]]];
      for (size_t r = run_start[k]; r < run_start[k + 1]; ++r) sum += series.weight[r] * column[r];
      column_mean[series.axle[run_start[k]]] = sum;
    }
    for (size_t a = 0; a < axles; ++a)
      if (axle_weight[a] > 0) column_mean[a] /= axle_weight[a];
  }
  // Each column, taken about its axle means, with itself and its partner
  // (the cosine with the sine of one frequency), and with z: the six sums
  // of a pair in one pass over the readings, each summed in its own order
  // as if alone.
  std::vector<double> gram(columns * 2), rhs(columns);
  for (size_t c = 0; c < columns; c += 2) {
    const double* u_raw = &column_values[c * n];
    const double* v_raw = &column_values[(c + 1) * n];
    const double* u_mean = &mean[c * axles];
    const double* v_mean = &mean[(c + 1) * axles];
    double uu = 0, uv = 0, uz = 0, vv = 0, vu = 0, vz = 0;
    for (size_t r = 0; r < n; ++r) {
      double w = series.weight[r], u = u_raw[r] - u_mean[series.axle[r]], v = v_raw[r] - v_mean[series.axle[r]];
      uu += w * u * u, uv += w * u * v, uz += w * u * zc[r];
      vv += w * v * v, vu += w * v * u, vz += w * v * zc[r];
    }
    gram[c * 2] = uu, gram[c * 2 + 1] = uv, rhs[c] = uz;
    gram[(c + 1) * 2] = vv, gram[(c + 1) * 2 + 1] = vu, rhs[c + 1] = vz;
  }

  // The tables of the cross products of two motions' columns: weighted sums
  // of the cosine and sine over the frequency differences and sums.
  const size_t tables = motions > 1 ? 2 * FREQUENCIES - 1 : 0;
  std::vector<double> difference_cos(tables, 0), difference_sin(tables, 0), sum_cos(tables, 0), sum_sin(tables, 0);
  if (motions > 1) {
    const double step = 2 * std::numbers::pi * step_hz, start = 4 * std::numbers::pi * MIN_HZ;
    for (size_t r = 0; r < n; ++r) {
      double w = series.weight[r] * series.rho[r][0] * series.rho[r][1], t = series.time_s[r];
      double dc = std::cos(step * t), ds = std::sin(step * t);
      double c = 1, s = 0, sc = std::cos(start * t), ss = std::sin(start * t);
      for (size_t k = 0; k < tables; ++k) {
        if (k < FREQUENCIES) difference_cos[k] += w * c, difference_sin[k] += w * s;
        sum_cos[k] += w * sc, sum_sin[k] += w * ss;
        double nc = c * dc - s * ds, nsc = sc * dc - ss * ds;
        s = s * dc + c * ds, ss = ss * dc + sc * ds;
        c = nc, sc = nsc;
      }
    }
  }
  const ColumnSums sums{FREQUENCIES,           axles,
                        axle_weight.data(),    mean.data(),
                        gram.data(),           rhs.data(),
                        base,                  difference_cos.data(),
                        difference_sin.data(), sum_cos.data(),
                        sum_sin.data()};

  std::array<double, 2> log_on{}, log_off{}, precision{};
  for (size_t m = 0; m < 2; ++m) {
    log_off[m] = std::log(1 - presence[m]);
    log_on[m] = std::log(presence[m] / static_cast<double>(FREQUENCIES)) - 2 * std::log(prior[m]);
    precision[m] = 1.0 / (prior[m] * prior[m]);
  }
  Combinations weighed;
  int range1 = motions > 1 ? static_cast<int>(FREQUENCIES) : 0;
  const size_t combinations = (FREQUENCIES + 1) * static_cast<size_t>(range1 + 1);
  weighed.terms.reserve(combinations);
  weighed.log_evidence.reserve(combinations);
  weighed.moments.reserve(combinations);
  // Rows `from` to p of the system of one motion's columns `col` (or none):
  // each column with itself and its partner from the gram, the prior's
  // precision on the diagonal. Both motions together are WeighPairs' work.
  auto fill = [&](SmallSystem* system, const std::array<size_t, 4>& col, size_t from, size_t p) {
    for (size_t i = from; i < p; ++i) {
      system->x[i] = rhs[col[i]];
      for (size_t j = 0; j <= i; ++j) system->a[i * 4 + j] = gram[col[i] * 2 + (col[i] == col[j] ? 0 : 1)];
      system->a[i * 4 + i] += precision[col[i] < FREQUENCIES * 2 ? 0 : 1];
    }
  };
  PairLanes lanes(motions > 1 ? FREQUENCIES : 0);
  for (int f0 = -1; f0 < static_cast<int>(FREQUENCIES); ++f0) {
    std::array<size_t, 4> col{};
    size_t p0 = 0;
    if (f0 >= 0) col[p0++] = static_cast<size_t>(f0) * 2, col[p0++] = static_cast<size_t>(f0) * 2 + 1;
    SmallSystem body;
    fill(&body, col, 0, p0);
    if (!FactorRows(&body, p0)) continue;
    // With the body's frequency given, only "no pitch" is left alone here.
    const int last_f1 = f0 >= 0 ? 0 : range1;
    for (int f1 = -1; f1 < last_f1; ++f1) {
      size_t p = p0;
      if (f1 >= 0) {
        size_t c = (FREQUENCIES + static_cast<size_t>(f1)) * 2;
        col[p++] = c, col[p++] = c + 1;
      }
      SmallSystem system = body;
      fill(&system, col, p0, p);
      if (!FactorRows(&system, p)) continue;
      std::array<double, 4> x{}, variance{};
      double log_det = Solve(system, &x, learning ? &variance : nullptr);
      double explained = 0;
      for (size_t i = 0; i < p; ++i) explained += x[i] * rhs[col[i]];
      double evidence = -0.5 * (base - explained) - 0.5 * log_det + (f0 >= 0 ? log_on[0] : log_off[0]) +
                        (motions > 1 ? (f1 >= 0 ? log_on[1] : log_off[1]) : 0.0);
      // One motion at most: its amplitudes are x[0] and x[1].
      std::array<double, 2> moment{};
      std::array<double, 4> amplitude{};
      if (p > 0) {
        size_t m = f0 >= 0 ? 0 : 1;
        moment[m] = x[0] * x[0] + x[1] * x[1] + variance[0] + variance[1];
        amplitude[2 * m] = x[0], amplitude[2 * m + 1] = x[1];
      }
      weighed.Add(f0, f1, step_hz, amplitude, moment, evidence);
    }
    if (f0 >= 0 && motions > 1)
      WeighPairs(sums, body, static_cast<size_t>(f0), {precision[1], log_on, step_hz, learning}, &lanes, &weighed);
  }
  std::vector<MotionTerm>& terms = weighed.terms;
  const std::vector<double>& log_evidence = weighed.log_evidence;
  const std::vector<std::array<double, 2>>& moments = weighed.moments;
  if (terms.empty()) return posterior;
  std::vector<double> shift(axles, 0);
  double top = *std::max_element(log_evidence.begin(), log_evidence.end());
  double total = 0;
  for (size_t i = 0; i < terms.size(); ++i) total += terms[i].probability = std::exp(log_evidence[i] - top);
  for (size_t i = 0; i < terms.size(); ++i) {
    MotionTerm& term = terms[i];
    term.probability /= total;
    for (size_t m = 0; m < 2; ++m)
      if (term.frequency[m] >= 0) {
        posterior.probability[m] += term.probability;
        posterior.moment[m] += term.probability * moments[i][m];
      }
    if (term.probability > posterior.best.probability) posterior.best = term;
    if (term.frequency[0] >= 0 || term.frequency[1] >= 0) posterior.motion_probability += term.probability;
    // The static part under this combination: the axle's mean less the
    // motion's mean over the axle's readings.
    for (size_t m = 0; m < motions; ++m) {
      if (term.frequency[m] < 0) continue;
      size_t c = (m * FREQUENCIES + static_cast<size_t>(term.frequency[m])) * 2;
      for (size_t a = 0; a < axles; ++a)
        shift[a] += term.probability * (term.amplitude[2 * m] * mean[c * axles + a] +
                                        term.amplitude[2 * m + 1] * mean[(c + 1) * axles + a]);
    }
  }
  // For the motion at other moments, the likeliest combinations stand for
  // all, their weights made whole again.
  auto likeliest = terms.begin() + static_cast<std::ptrdiff_t>(std::min(KEEP_TERMS, terms.size()));
  std::partial_sort(terms.begin(), likeliest, terms.end(),
                    [](const MotionTerm& a, const MotionTerm& b) { return a.probability > b.probability; });
  double kept = 0;
  for (auto term = terms.begin(); term != likeliest; ++term) {
    if (kept >= KEEP_MASS) break;
    posterior.terms.push_back(*term);
    kept += term->probability;
  }
  for (MotionTerm& term : posterior.terms) term.probability /= kept;
  for (size_t a = 0; a < axles; ++a) posterior.static_z[a] -= shift[a];
  return posterior;
}

double MotionAt(const MotionPosterior& posterior, double time_s, const std::array<double, 2>& rho) {
  double value = 0;
  for (const MotionTerm& term : posterior.terms) value += term.probability * TermMotion(term, time_s, rho);
  return value;
}

// Both in one pass.
void MotionAndSpread(const MotionPosterior& posterior, double time_s, const std::array<double, 2>& rho, double* mean,
                     double* variance) {
  double sum = 0, square = 0;
  for (const MotionTerm& term : posterior.terms) {
    double value = TermMotion(term, time_s, rho);
    sum += term.probability * value, square += term.probability * value * value;
  }
  *mean = sum;
  *variance = std::max(0.0, square - sum * sum);
}

void DescribeMotions(const MotionPosterior& posterior, const char* const names[2], std::string* text) {
  const MotionTerm& best = posterior.best;
  for (size_t m = 0; m < 2; ++m) {
    if (best.frequency[m] < 0) continue;
    *text += Format("%s%s %.1f %% at %.2f Hz", text->empty() ? "" : ", ", names[m],
                    100 * std::hypot(best.amplitude[2 * m], best.amplitude[2 * m + 1]), best.hz[m]);
  }
}

}  // namespace tarvik
