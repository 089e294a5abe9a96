// The first guess of the unfolding: the first harmonic of the wind at every
// gate of a sweep, from its folded velocities (see _radar_unfold.hpp).
#pragma once

#include "_radar_frame.hpp"

namespace radar {
namespace unfold {

constexpr double pi = 3.141592653589793;
constexpr double deg = pi / 180.0;

constexpr double lag_degrees = 4.0;     // azimuth step of the derivative fit
constexpr std::int64_t window = 3;      // gates either side pooled in a fit
constexpr double min_fit_samples = 24;  // pooled samples a fit needs
constexpr double min_spread = 0.15;     // det / trace^2 of the (sin, cos) covariance: 0.25 full circle
constexpr std::int64_t max_fill = 40;   // gates a fit may be carried along range
constexpr double join_fraction = 0.5;   // raw step joining two gates, in Nyquist velocities
constexpr double max_ray_gap = 2.5;     // rays further apart, in ray spacings, are not neighbours
constexpr double max_fold = 100.0;     // fold counts beyond this are not believed
constexpr double min_kept = 0.7;       // share of its samples a fit must keep to be believed

// x - 2 ny k for the integer k that brings x into [-ny, ny).
inline double wrap(double x, double ny) { return x - 2.0 * ny * std::floor(x / (2.0 * ny) + 0.5); }

// The fold count nearest to x (in Nyquist intervals), or false when none is believable.
inline bool nearest_fold(double x, int& n) {
    if (!(std::fabs(x) <= max_fold)) return false;
    n = static_cast<int>(std::floor(x + 0.5));
    return true;
}

struct Sweep {
    const double* vel;  // rays x gates
    const double* az;   // rays, degrees, increasing
    std::int64_t rays, gates;
    double nyquist;
    double* unfolded;
    std::int8_t* fold;
    bool* unresolved;
};

// Median spacing of neighbouring rays, in degrees (0 when all share one azimuth).
inline double ray_spacing(const Sweep& s) {
    if (s.rays < 2) return 0.0;
    std::vector<double> gaps;
    gaps.reserve(static_cast<std::size_t>(s.rays));
    for (std::int64_t i = 0; i < s.rays; ++i) {
        const double gap = i + 1 < s.rays ? s.az[i + 1] - s.az[i] : s.az[0] + 360.0 - s.az[i];
        if (gap > 0.0) gaps.push_back(gap);
    }
    if (gaps.empty()) return 0.0;
    auto mid = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
    std::nth_element(gaps.begin(), mid, gaps.end());
    return *mid;
}

// Cyclic azimuth step from ray i to ray j, degrees.
inline double gap_between(const Sweep& s, std::int64_t i, std::int64_t j) {
    return j > i ? s.az[j] - s.az[i] : s.az[j] + 360.0 - s.az[i];
}

// The first harmonic vr = a0 + a1 sin(az) + b1 cos(az) of every gate (NaN where no fit).
struct Reference {
    std::vector<double> a0, a1, b1;
    double at(const std::vector<double>& sin_az, const std::vector<double>& cos_az,
              std::int64_t ray, std::int64_t gate) const {
        const auto g = static_cast<std::size_t>(gate);
        const auto i = static_cast<std::size_t>(ray);
        return a0[g] + a1[g] * sin_az[i] + b1[g] * cos_az[i];
    }
};

// Running totals of `width` sums per gate, for sums over any span of gates.
struct Pool {
    std::vector<double> prefix;  // (gates + 1) x width
    int width;
    Pool(const std::vector<double>& sums, std::int64_t gates, int w)
        : prefix(static_cast<std::size_t>((gates + 1) * w), 0.0), width(w) {
        for (std::int64_t g = 0; g < gates; ++g)
            for (int k = 0; k < w; ++k) prefix[(g + 1) * w + k] = prefix[g * w + k] + sums[g * w + k];
    }
    // Sums over the gates [g - half, g + half] that exist.
    void around(std::int64_t g, std::int64_t half, std::int64_t gates, double* out) const {
        const std::int64_t lo = std::max<std::int64_t>(0, g - half), hi = std::min(gates, g + half + 1);
        for (int k = 0; k < width; ++k) out[k] = prefix[hi * width + k] - prefix[lo * width + k];
    }
};

// Half-widths of the spans a fit pools, tried in turn until one has enough samples.
constexpr std::int64_t pool_spans[] = {window, 3 * window, 8 * window};

// Gates without a fit take one interpolated along range between the nearest
// gates with a fit, or the nearest one's within max_fill gates past the last.
inline void carry_along_range(Reference& ref, std::int64_t G) {
    std::vector<std::int64_t> before(G, -1), after(G, -1);
    for (std::int64_t g = 0, last = -1; g < G; ++g) {
        if (is_finite(ref.a0[g])) last = g;
        before[g] = last;
    }
    for (std::int64_t g = G - 1, last = -1; g >= 0; --g) {
        if (is_finite(ref.a0[g])) last = g;
        after[g] = last;
    }
    for (std::int64_t g = 0; g < G; ++g) {
        const std::int64_t lo = before[g], hi = after[g];
        if (lo == g) continue;
        double w = 0.0;  // weight of the gate after
        std::int64_t a = lo, b = hi;
        if (lo >= 0 && hi >= 0) {
            w = static_cast<double>(g - lo) / static_cast<double>(hi - lo);
        } else if (lo >= 0 && g - lo <= max_fill) {
            b = lo;
        } else if (hi >= 0 && hi - g <= max_fill) {
            a = hi;
        } else {
            continue;
        }
        ref.a0[g] = (1.0 - w) * ref.a0[a] + w * ref.a0[b];
        ref.a1[g] = (1.0 - w) * ref.a1[a] + w * ref.a1[b];
        ref.b1[g] = (1.0 - w) * ref.b1[a] + w * ref.b1[b];
    }
}

// Gates whose fit leaves far more misfit than is usual in the sweep lose it:
// shear such as a vortex's, not the wind of the VAD, is in their samples.
// The fits of the gates around them will be carried over them.
inline void drop_misfits(Reference& ref, const std::vector<double>& misfit, std::int64_t G) {
    std::vector<double> finite;
    for (double m : misfit)
        if (is_finite(m)) finite.push_back(m);
    if (finite.empty()) return;
    auto mid = finite.begin() + static_cast<std::ptrdiff_t>(finite.size() / 2);
    std::nth_element(finite.begin(), mid, finite.end());
    const double limit = 6.0 * std::max(*mid, 0.25);  // mean squares: 2.5 times the typical rms
    for (std::int64_t g = 0; g < G; ++g)
        if (!(misfit[g] <= limit)) ref.a0[g] = ref.a1[g] = ref.b1[g] = quiet_nan;
}

// Step 1a: the wind from wrapped differences between rays `lag` apart.
inline void derivative_fit(const Sweep& s, double spacing, Reference& ref,
                           const std::vector<double>& sin_az, const std::vector<double>& cos_az) {
    const std::int64_t R = s.rays, G = s.gates;
    const double target = std::max(1.0, std::floor(lag_degrees / spacing + 0.5));
    const std::int64_t lag = static_cast<std::int64_t>(std::min(target, static_cast<double>(R - 1)));
    // Per pair of rays: the regressors of the difference, zero when the pair is no pair.
    std::vector<double> x1(R, 0.0), x2(R, 0.0);
    for (std::int64_t i = 0; i < R; ++i) {
        const std::int64_t j = (i + lag) % R;
        const double gap = gap_between(s, i, j);
        if (j == i || gap < 0.5 * lag * spacing || gap > 1.5 * lag * spacing) continue;
        const double mid = (s.az[i] + 0.5 * gap) * deg;
        const double chord = 2.0 * std::sin(0.5 * gap * deg);
        x1[i] = chord * std::cos(mid);
        x2[i] = -chord * std::sin(mid);
    }
    std::vector<double> sums(G * 8, 0.0);  // n, x1x1, x1x2, x2x2, x1d, x2d, dd, pairs
    for (std::int64_t i = 0; i < R; ++i) {
        if (x1[i] == 0.0 && x2[i] == 0.0) continue;
        const double* a = s.vel + i * G;
        const double* b = s.vel + ((i + lag) % R) * G;
        for (std::int64_t g = 0; g < G; ++g) {
            if (!is_finite(a[g]) || !is_finite(b[g])) continue;
            const double d = wrap(b[g] - a[g], s.nyquist);
            double* t = &sums[g * 8];
            t[7] += 1.0;
            // A step this large between rays a few degrees apart is shear
            // (a vortex) or noise, not the wind's first harmonic.
            if (std::fabs(d) > 0.75 * s.nyquist) continue;
            t[0] += 1.0;
            t[1] += x1[i] * x1[i];
            t[2] += x1[i] * x2[i];
            t[3] += x2[i] * x2[i];
            t[4] += x1[i] * d;
            t[5] += x2[i] * d;
            t[6] += d * d;
        }
    }
    const Pool pool(sums, G, 8);
    std::vector<double> misfit(G, quiet_nan);
    for (std::int64_t g = 0; g < G; ++g) {
        for (std::int64_t half : pool_spans) {
            double t[8];
            pool.around(g, half, G, t);
            const double det = t[1] * t[3] - t[2] * t[2];
            const double trace = t[1] + t[3];
            if (t[0] < min_fit_samples || !(det > min_spread * trace * trace)) continue;
            ref.a1[g] = (t[3] * t[4] - t[2] * t[5]) / det;
            ref.b1[g] = (t[1] * t[5] - t[2] * t[4]) / det;
            misfit[g] = t[0] >= min_kept * t[7] ? (t[6] - ref.a1[g] * t[4] - ref.b1[g] * t[5]) / t[0]
                                                 : quiet_nan;
            break;
        }
    }
    drop_misfits(ref, misfit, G);
    carry_along_range(ref, G);
    // The offset: the mean wrapped residual, recentred once so that an
    // offset near the Nyquist velocity is not split across the wrap.
    // Rays outer, gates inner: the sweep is read in its stored order.
    std::vector<double> centre(G, 0.0), total(G), count(G);
    for (int pass = 0; pass < 2; ++pass) {
        std::fill(total.begin(), total.end(), 0.0);
        std::fill(count.begin(), count.end(), 0.0);
        for (std::int64_t i = 0; i < R; ++i) {
            const double* row = s.vel + i * G;
            for (std::int64_t g = 0; g < G; ++g) {
                if (!is_finite(row[g]) || !is_finite(ref.a1[g])) continue;
                total[g] += wrap(row[g] - ref.a1[g] * sin_az[i] - ref.b1[g] * cos_az[i] - centre[g],
                                 s.nyquist);
                count[g] += 1.0;
            }
        }
        for (std::int64_t g = 0; g < G; ++g)
            if (count[g] > 0.0) centre[g] += total[g] / count[g];
    }
    for (std::int64_t g = 0; g < G; ++g)
        if (is_finite(ref.a1[g])) ref.a0[g] = centre[g];
}

// Step 1b: a least-squares VAD of the samples unfolded against the current
// reference, leaving out those more than half a Nyquist velocity from it.
inline void refine_fit(const Sweep& s, Reference& ref, const std::vector<double>& sin_az,
                       const std::vector<double>& cos_az, std::vector<double>& kept) {
    const std::int64_t R = s.rays, G = s.gates;
    std::vector<double> sums(G * 11, 0.0);  // n, s, c, ss, sc, cc, u, us, uc, uu, valid
    for (std::int64_t i = 0; i < R; ++i) {
        const double sa = sin_az[i], ca = cos_az[i];
        for (std::int64_t g = 0; g < G; ++g) {
            const double v = s.vel[i * G + g];
            if (!is_finite(v) || !is_finite(ref.a0[g])) continue;
            const double guess = ref.at(sin_az, cos_az, i, g);
            const double u = guess + wrap(v - guess, s.nyquist);
            double* t = &sums[g * 11];
            t[10] += 1.0;
            if (std::fabs(u - guess) > 0.5 * s.nyquist) continue;
            t[0] += 1.0;
            t[1] += sa;
            t[2] += ca;
            t[3] += sa * sa;
            t[4] += sa * ca;
            t[5] += ca * ca;
            t[6] += u;
            t[7] += u * sa;
            t[8] += u * ca;
            t[9] += u * u;
        }
    }
    const Pool pool(sums, G, 11);
    std::vector<double> misfit(G, quiet_nan);
    kept.assign(G, -1.0);
    Reference fitted{std::vector<double>(G, quiet_nan), std::vector<double>(G, quiet_nan),
                     std::vector<double>(G, quiet_nan)};
    for (std::int64_t g = 0; g < G; ++g) {
      if (!is_finite(ref.a0[g])) continue;
      for (std::int64_t half : pool_spans) {
        double t[11];
        pool.around(g, half, G, t);
        if (t[0] < min_fit_samples) continue;
        // Centred sums: the normal equations of (sin, cos) about their means.
        const double n = t[0];
        const double ms = t[1] / n, mc = t[2] / n, mu = t[6] / n;
        const double css = t[3] / n - ms * ms, csc = t[4] / n - ms * mc, ccc = t[5] / n - mc * mc;
        const double cus = t[7] / n - mu * ms, cuc = t[8] / n - mu * mc;
        const double det = css * ccc - csc * csc;
        if (!(det > min_spread * (css + ccc) * (css + ccc))) continue;
        const double a1 = (ccc * cus - csc * cuc) / det;
        const double b1 = (css * cuc - csc * cus) / det;
        fitted.a1[g] = a1;
        fitted.b1[g] = b1;
        fitted.a0[g] = mu - a1 * ms - b1 * mc;
        misfit[g] = n >= min_kept * t[10] ? t[9] / n - mu * mu - a1 * cus - b1 * cuc : quiet_nan;
        kept[g] = n / t[10];
        break;
      }
    }
    drop_misfits(fitted, misfit, G);
    carry_along_range(fitted, G);
    ref = std::move(fitted);
}

// Least squares from a start can settle on a wrong wind that a share of the
// samples happens to fit (a storm's outflow, sparse echo): two starts, the
// gradient guess and calm air, are refined, and at each gate the one that
// keeps more of the samples wins.
inline void reference_from_starts(const Sweep& s, Reference& ref, const std::vector<double>& sin_az,
                                  const std::vector<double>& cos_az) {
    const std::int64_t G = s.gates;
    Reference calm{std::vector<double>(G, 0.0), std::vector<double>(G, 0.0), std::vector<double>(G, 0.0)};
    std::vector<double> kept_guess, kept_calm;
    for (int pass = 0; pass < 3; ++pass) {
        refine_fit(s, ref, sin_az, cos_az, kept_guess);
        refine_fit(s, calm, sin_az, cos_az, kept_calm);
    }
    for (std::int64_t g = 0; g < G; ++g) {
        if (!(kept_calm[g] > kept_guess[g])) continue;
        ref.a0[g] = calm.a0[g];
        ref.a1[g] = calm.a1[g];
        ref.b1[g] = calm.b1[g];
    }
}

}  // namespace unfold
}  // namespace radar
