// Unfolding of aliased radial velocities, one sweep per item.
//
// A sweep arrives with its rays sorted by azimuth.  Three steps:
//  1. A first guess of the wind at every gate that needs no unfolded data:
//     the azimuthal derivative of the radial velocity, from wrapped
//     differences between rays a few degrees apart (the derivative of a
//     first harmonic is a first harmonic), then a least-squares VAD of the
//     velocities unfolded against that guess, twice, leaving out samples far
//     from it.  This is the reference field.
//  2. Regions: gates joined along rays and across neighbouring rays where
//     the raw velocity changes by less than half the Nyquist interval share
//     a fold.  Each region gets one fold count: the best-supported regions
//     against the reference seed, and fold counts spread from region to
//     region by the majority of the votes of their common boundary.
//  3. A check of every gate against its unfolded neighbours (and, for a gate
//     without neighbours, against the reference); a gate that disagrees,
//     or a region whose fold no evidence settles, is unresolved.
// A sweep is computed by one thread from start to end: the result does not
// depend on the number of threads.
#pragma once

#include "_radar_frame.hpp"

#include <queue>

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
constexpr double max_fold = 100.0;
constexpr double min_kept = 0.7;        // share of its samples a fit must keep to be believed      // fold counts beyond this are not believed

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
    for (std::int64_t g = 0; g < G; ++g) {
        if (!is_finite(ref.a1[g])) continue;
        double centre = 0.0;
        for (int pass = 0; pass < 2; ++pass) {
            double total = 0.0, n = 0.0;
            for (std::int64_t i = 0; i < R; ++i) {
                const double v = s.vel[i * G + g];
                if (!is_finite(v)) continue;
                total += wrap(v - ref.a1[g] * sin_az[i] - ref.b1[g] * cos_az[i] - centre, s.nyquist);
                n += 1.0;
            }
            if (n > 0.0) centre += total / n;
        }
        ref.a0[g] = centre;
    }
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

// Regions of gates joined by small raw steps: a union-find over the gates.
struct Regions {
    std::vector<std::int64_t> parent;
    std::int64_t find(std::int64_t a) {
        while (parent[a] != a) {
            parent[a] = parent[parent[a]];
            a = parent[a];
        }
        return a;
    }
    void join(std::int64_t a, std::int64_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
};

// A boundary between two regions: n_a - n_b = rel, voted by `count` gate pairs.
struct Boundary {
    std::int64_t a, b;
    int rel;
    std::int64_t count;
    bool operator<(const Boundary& o) const {
        return a != o.a ? a < o.a : b != o.b ? b < o.b : rel < o.rel;
    }
};

// Calls fn(p, q) for every pair of neighbouring valid gates: along each ray,
// and between neighbouring rays (the last and the first too when the sweep
// closes) at the same gate.
template <class Fn>
void for_each_neighbour_pair(const Sweep& s, const std::vector<char>& ray_link, const Fn& fn) {
    const std::int64_t R = s.rays, G = s.gates;
    for (std::int64_t i = 0; i < R; ++i) {
        const double* row = s.vel + i * G;
        for (std::int64_t g = 0; g + 1 < G; ++g)
            if (is_finite(row[g]) && is_finite(row[g + 1])) fn(i * G + g, i * G + g + 1);
        if (!ray_link[i]) continue;
        const std::int64_t j = (i + 1) % R;
        const double* next = s.vel + j * G;
        for (std::int64_t g = 0; g < G; ++g)
            if (is_finite(row[g]) && is_finite(next[g])) fn(i * G + g, j * G + g);
    }
}

inline void unfold_sweep(const Sweep& s) {
    const std::int64_t R = s.rays, G = s.gates, N = R * G;
    const double ny = s.nyquist;
    for (std::int64_t k = 0; k < N; ++k) {
        s.unfolded[k] = quiet_nan;
        s.fold[k] = 0;
        s.unresolved[k] = is_finite(s.vel[k]);
    }
    const double spacing = ray_spacing(s);
    if (R < 3 || !(spacing > 0.0)) return;  // no wind can be fitted: all unresolved

    // Step 1: the reference.
    std::vector<double> sin_az(R), cos_az(R);
    for (std::int64_t i = 0; i < R; ++i) {
        sin_az[i] = std::sin(s.az[i] * deg);
        cos_az[i] = std::cos(s.az[i] * deg);
    }
    Reference ref{std::vector<double>(G, quiet_nan), std::vector<double>(G, quiet_nan),
                  std::vector<double>(G, quiet_nan)};
    derivative_fit(s, spacing, ref, sin_az, cos_az);
    reference_from_starts(s, ref, sin_az, cos_az);

    // Step 2: regions.
    std::vector<char> ray_link(R, 0);
    for (std::int64_t i = 0; i < R; ++i)
        ray_link[i] = (R > 1 && gap_between(s, i, (i + 1) % R) <= max_ray_gap * spacing) ? 1 : 0;
    Regions uf{std::vector<std::int64_t>(N)};
    for (std::int64_t k = 0; k < N; ++k) uf.parent[k] = k;
    const double join_step = join_fraction * ny;
    for_each_neighbour_pair(s, ray_link, [&](std::int64_t p, std::int64_t q) {
        if (std::fabs(s.vel[p] - s.vel[q]) < join_step) uf.join(p, q);
    });
    Scratch<std::int64_t> label(static_cast<std::size_t>(N));
    std::int64_t n_regions = 0;
    for (std::int64_t k = 0; k < N; ++k) {
        if (!is_finite(s.vel[k])) {
            label[k] = -1;
            continue;
        }
        const std::int64_t root = uf.find(k);
        label[k] = root == k ? n_regions++ : label[root];  // roots come first: the smallest index
    }
    uf.parent = {};

    // Each region's agreement with the reference: the mean fold the reference implies.
    std::vector<double> votes(n_regions, 0.0), sum_f(n_regions, 0.0);
    auto compare_with_reference = [&]() {
        std::fill(votes.begin(), votes.end(), 0.0);
        std::fill(sum_f.begin(), sum_f.end(), 0.0);
        for (std::int64_t i = 0; i < R; ++i)
            for (std::int64_t g = 0; g < G; ++g) {
                const std::int64_t k = i * G + g, r = label[k];
                if (r < 0) continue;
                const double f = (ref.at(sin_az, cos_az, i, g) - s.vel[k]) / (2.0 * ny);
                if (std::fabs(f) <= max_fold) {
                    votes[r] += 1.0;
                    sum_f[r] += f;
                }
            }
    };
    compare_with_reference();

    std::vector<Boundary> edges;
    for_each_neighbour_pair(s, ray_link, [&](std::int64_t p, std::int64_t q) {
        std::int64_t a = label[p], b = label[q];
        if (a == b) return;
        int rel;  // n_a - n_b, from u_a = u_b
        if (!nearest_fold((s.vel[q] - s.vel[p]) / (2.0 * ny), rel)) return;
        if (a > b) {
            std::swap(a, b);
            rel = -rel;
        }
        edges.push_back({a, b, rel, 1});
    });
    std::sort(edges.begin(), edges.end());
    std::vector<Boundary> bounds;  // both directions, grouped by the first region
    for (const Boundary& e : edges) {
        if (!bounds.empty() && !(bounds.back() < e)) {
            ++bounds.back().count;
            continue;
        }
        bounds.push_back(e);
    }
    edges = {};
    const std::size_t one_way = bounds.size();
    for (std::size_t k = 0; k < one_way; ++k)
        bounds.push_back({bounds[k].b, bounds[k].a, -bounds[k].rel, bounds[k].count});
    std::sort(bounds.begin(), bounds.end());
    std::vector<std::size_t> first(n_regions + 1, 0);
    for (const Boundary& e : bounds) ++first[e.a + 1];
    for (std::int64_t r = 0; r < n_regions; ++r) first[r + 1] += first[r];

    // Clusters of regions joined by boundaries are settled one at a time,
    // from a seed: the region with the most gates the reference covers.
    constexpr int unset = std::numeric_limits<int>::min();
    std::vector<int> region_fold(n_regions, unset);
    std::vector<std::int64_t> seeds;
    for (std::int64_t r = 0; r < n_regions; ++r)
        if (votes[r] > 0.0) seeds.push_back(r);
    std::stable_sort(seeds.begin(), seeds.end(),
                     [&](std::int64_t a, std::int64_t b) { return votes[a] > votes[b]; });

    // Growth: the region with most boundary to settled regions settles next,
    // by the majority of that boundary's votes; folds relative to the seed's.
    std::vector<std::int64_t> linked(n_regions, 0), cluster;
    std::vector<char> done(n_regions, 0);
    std::priority_queue<std::pair<std::int64_t, std::int64_t>> queue;  // (linked, -region)
    auto settle = [&](std::int64_t r, int n) {
        done[r] = 1;
        region_fold[r] = n;
        if (n == unset) return;
        cluster.push_back(r);
        for (std::size_t k = first[r]; k < first[r + 1]; ++k) {
            const std::int64_t nb = bounds[k].b;
            if (done[nb]) continue;
            linked[nb] += bounds[k].count;
            queue.push({linked[nb], -nb});
        }
    };
    std::vector<std::pair<int, std::int64_t>> tally;
    auto grow = [&]() {
        while (!queue.empty()) {
            const auto [weight, neg] = queue.top();
            queue.pop();
            const std::int64_t r = -neg;
            if (done[r] || weight != linked[r]) continue;
            tally.clear();
            std::int64_t total = 0;
            for (std::size_t k = first[r]; k < first[r + 1]; ++k) {
                const int nb_fold = region_fold[bounds[k].b];
                if (!done[bounds[k].b] || nb_fold == unset) continue;
                const int n = nb_fold + bounds[k].rel;
                total += bounds[k].count;
                auto it = std::find_if(tally.begin(), tally.end(),
                                       [n](const auto& t) { return t.first == n; });
                if (it == tally.end()) tally.push_back({n, bounds[k].count});
                else it->second += bounds[k].count;
            }
            std::pair<int, std::int64_t> best{unset, 0};
            for (const auto& t : tally)
                if (t.second > best.second || (t.second == best.second && t.first < best.first)) best = t;
            // A split boundary settles nothing: the region stays unresolved.
            settle(r, 10 * best.second >= 7 * total ? best.first : unset);
        }
    };
    // Clusters as found, with their folds relative to their seed's.
    std::vector<std::int64_t> members;
    std::vector<std::size_t> cluster_start{0};
    for (std::int64_t seed : seeds) {
        if (done[seed]) continue;
        cluster.clear();
        settle(seed, 0);
        grow();
        members.insert(members.end(), cluster.begin(), cluster.end());
        cluster_start.push_back(members.size());
    }
    const std::vector<int> relative_fold = region_fold;

    // Continuity fixed the folds within a cluster up to one shift, which the
    // reference settles: the shift most of the cluster's gates agree with (a
    // region agrees when its mean lies within half a Nyquist velocity of the
    // reference), or else the one of the cluster's mean departure. Echo that
    // needs no shift is the common case, and the reference is least sure
    // where echo is sparse: by its mean, a cluster is left as it is up to 0.8
    // of a Nyquist velocity from the reference, shifted only within 0.5.
    std::vector<char> cluster_settled(cluster_start.size(), 0);
    auto settle_shifts = [&]() {
        for (std::size_t c = 0; c + 1 < cluster_start.size(); ++c) {
            if (cluster_settled[c]) continue;
            double mass = 0.0, sum_d = 0.0;
            tally.clear();
            for (std::size_t m = cluster_start[c]; m < cluster_start[c + 1]; ++m) {
                const std::int64_t r = members[m];
                const int rel = relative_fold[r];
                mass += votes[r];
                sum_d += sum_f[r] - rel * votes[r];
                int n;
                if (votes[r] == 0.0 || !nearest_fold(sum_f[r] / votes[r] - rel, n)) continue;
                if (std::fabs(sum_f[r] / votes[r] - rel - n) >= 0.25) continue;
                auto it = std::find_if(tally.begin(), tally.end(),
                                       [n](const auto& t) { return t.first == n; });
                const auto mass_r = static_cast<std::int64_t>(votes[r]);
                if (it == tally.end()) tally.push_back({n, mass_r});
                else it->second += mass_r;
            }
            std::pair<int, std::int64_t> most{0, 0};
            for (const auto& t : tally)
                if (t.second > most.second || (t.second == most.second && t.first < most.first)) most = t;
            int shift = 0;
            bool believed = false;
            if (mass > 0.0 && 2.0 * static_cast<double>(most.second) >= mass) {
                shift = most.first;
                believed = true;
            } else if (mass > 0.0 && nearest_fold(sum_d / mass, shift)) {
                believed = std::fabs(sum_d / mass - shift) < (shift == 0 ? 0.4 : 0.25);
            }
            for (std::size_t m = cluster_start[c]; m < cluster_start[c + 1]; ++m) {
                const std::int64_t r = members[m];
                const long n = static_cast<long>(relative_fold[r]) + shift;
                region_fold[r] = believed && std::labs(n) <= 127 ? static_cast<int>(n) : unset;
            }
            cluster_settled[c] = believed;
        }
    };
    settle_shifts();

    // A second reference, fitted to the gates unfolded so far, which no
    // longer needs to guess through the folds; the clusters left unsettled
    // try again against it.
    Scratch<double> first_pass(static_cast<std::size_t>(N));
    for (std::int64_t k = 0; k < N; ++k) {
        const std::int64_t r = label[k];
        first_pass[k] = r < 0 || region_fold[r] == unset ? quiet_nan : s.vel[k] + 2.0 * ny * region_fold[r];
    }
    Sweep unfolded_view = s;
    unfolded_view.vel = first_pass.data();
    unfolded_view.nyquist = 1e6;  // no wrapping, no sample left out: a plain fit
    Reference refit{std::vector<double>(G, 0.0), std::vector<double>(G, 0.0), std::vector<double>(G, 0.0)};
    std::vector<double> kept;
    refine_fit(unfolded_view, refit, sin_az, cos_az, kept);
    bool any_fit = false;
    for (std::int64_t g = 0; g < G; ++g) any_fit = any_fit || is_finite(refit.a0[g]);
    if (any_fit) {
        ref = std::move(refit);
        compare_with_reference();
        settle_shifts();
    }

    // Step 3: the fold of every gate, checked against its unfolded neighbours.
    for (std::int64_t k = 0; k < N; ++k) {
        const std::int64_t r = label[k];
        if (r < 0 || region_fold[r] == unset || std::abs(region_fold[r]) > 127) continue;
        s.unfolded[k] = s.vel[k] + 2.0 * ny * region_fold[r];
    }
    std::vector<std::int32_t> agree(N, 0), disagree(N, 0);
    for_each_neighbour_pair(s, ray_link, [&](std::int64_t p, std::int64_t q) {
        if (!is_finite(s.unfolded[p]) || !is_finite(s.unfolded[q])) return;
        const bool close = std::fabs(s.unfolded[p] - s.unfolded[q]) < ny;
        (close ? agree : disagree)[p] += 1;
        (close ? agree : disagree)[q] += 1;
    });
    // Gates that agree with most of their neighbours keep their region's
    // fold; the others (speckle, or gates of a region left unsettled) take
    // the fold that brings them nearest the mean of the agreeing gates
    // around them (3 rays by 5 gates), if those agree among themselves.
    std::vector<char> ok(N, 0);
    for (std::int64_t i = 0; i < R; ++i)
        for (std::int64_t g = 0; g < G; ++g) {
            const std::int64_t k = i * G + g;
            if (!is_finite(s.unfolded[k])) continue;
            if (agree[k] == 0 && disagree[k] == 0) {  // alone: the reference must vouch for it
                ok[k] = std::fabs(s.unfolded[k] - ref.at(sin_az, cos_az, i, g)) < 0.5 * ny;
            } else {
                ok[k] = agree[k] > disagree[k];
            }
        }
    for (std::int64_t i = 0; i < R; ++i) {
        const std::int64_t rows[3] = {ray_link[(i + R - 1) % R] ? (i + R - 1) % R : -1, i,
                                      ray_link[i] ? (i + 1) % R : -1};
        for (std::int64_t g = 0; g < G; ++g) {
            const std::int64_t k = i * G + g;
            if (!is_finite(s.vel[k])) continue;
            int n = region_fold[label[k]];
            if (!ok[k]) {
                double total = 0.0, low = std::numeric_limits<double>::infinity(), high = -low;
                int count = 0;
                for (std::int64_t row : rows) {
                    if (row < 0) continue;
                    for (std::int64_t h = std::max<std::int64_t>(0, g - 2); h <= std::min(G - 1, g + 2); ++h) {
                        const std::int64_t m = row * G + h;
                        if (m == k || !ok[m]) continue;
                        total += s.unfolded[m];
                        low = std::min(low, s.unfolded[m]);
                        high = std::max(high, s.unfolded[m]);
                        ++count;
                    }
                }
                if (count < 3 || high - low >= ny || !nearest_fold((total / count - s.vel[k]) / (2.0 * ny), n) ||
                    std::abs(n) > 127) {
                    s.unfolded[k] = quiet_nan;
                    continue;
                }
            }
            s.fold[k] = static_cast<std::int8_t>(n);
            s.unresolved[k] = false;
        }
    }
    // The unfolded velocities of the gates that stayed resolved.
    for (std::int64_t k = 0; k < N; ++k)
        s.unfolded[k] = s.unresolved[k] || !is_finite(s.vel[k]) ? quiet_nan : s.vel[k] + 2.0 * ny * s.fold[k];
}

}  // namespace unfold

// The entry: sweeps concatenated, each (rays, gates) in C order with rays
// sorted by azimuth; `shape` holds (rays, gates) per sweep.
inline py::tuple unfold_py(py::array_t<double, py::array::c_style | py::array::forcecast> velocity,
                           py::array_t<double, py::array::c_style | py::array::forcecast> azimuth,
                           py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> shape,
                           py::array_t<double, py::array::c_style | py::array::forcecast> nyquist,
                           int n_threads) {
    require(velocity.ndim() == 1 && azimuth.ndim() == 1 && nyquist.ndim() == 1,
            "velocity, azimuth and nyquist must be 1-D");
    require(shape.ndim() == 2 && shape.shape(1) == 2, "shape must be (sweeps, 2)");
    const std::int64_t n_sweeps = shape.shape(0);
    require(nyquist.shape(0) == n_sweeps, "one Nyquist velocity per sweep");
    const std::int64_t* dims = shape.data();
    const double* az = azimuth.data();
    const double* ny = nyquist.data();
    std::vector<std::int64_t> ray_start(n_sweeps + 1, 0), gate_start(n_sweeps + 1, 0);
    for (std::int64_t k = 0; k < n_sweeps; ++k) {
        const std::int64_t rays = dims[2 * k], gates = dims[2 * k + 1];
        require(rays >= 0 && gates >= 0, "negative sweep shape");
        require(gates == 0 || rays <= std::numeric_limits<std::int64_t>::max() / gates - gate_start[k],
                "sweeps too large");
        ray_start[k + 1] = ray_start[k] + rays;
        gate_start[k + 1] = gate_start[k] + rays * gates;
        require(is_finite(ny[k]) && ny[k] > 0.0, "the Nyquist velocity must be positive and finite");
    }
    require(azimuth.shape(0) == ray_start[n_sweeps], "azimuth must have one value per ray");
    require(velocity.shape(0) == gate_start[n_sweeps], "velocity must have rays x gates values per sweep");
    for (std::int64_t k = 0; k < n_sweeps; ++k)
        for (std::int64_t i = ray_start[k]; i < ray_start[k + 1]; ++i) {
            require(is_finite(az[i]) && az[i] >= 0.0 && az[i] < 360.0, "azimuths must lie in [0, 360)");
            require(i == ray_start[k] || az[i - 1] <= az[i], "rays must be sorted by azimuth");
        }

    const auto n = static_cast<py::ssize_t>(gate_start[n_sweeps]);
    py::array_t<double> unfolded(n);
    py::array_t<std::int8_t> fold(n);
    py::array_t<bool> unresolved(n);
    const double* vel = velocity.data();
    double* out = unfolded.mutable_data();
    std::int8_t* folds = fold.mutable_data();
    bool* flags = unresolved.mutable_data();
    run_items(n_sweeps, 1, n_threads, {velocity, azimuth, shape, nyquist, unfolded, fold, unresolved},
              [&](std::int64_t k) {
                  const std::int64_t g0 = gate_start[k];
                  unfold::unfold_sweep({vel + g0, az + ray_start[k], dims[2 * k], dims[2 * k + 1],
                                        ny[k], out + g0, folds + g0, flags + g0});
              });
    return py::make_tuple(unfolded, fold, unresolved);
}

}  // namespace radar
