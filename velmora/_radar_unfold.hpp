// Unfolding of aliased radial velocities, one sweep per item.
//
// A sweep arrives with its rays sorted by azimuth.  Three steps:
//  1. A first guess of the wind at every gate that needs no unfolded data
//     (_radar_unfold_guess.hpp): the azimuthal derivative of the radial
//     velocity from wrapped differences between rays a few degrees apart,
//     then least-squares VADs of the velocities unfolded against it.
//  2. Regions: gates joined along rays and across neighbouring rays where
//     the raw velocity changes by less than half the Nyquist velocity share
//     a fold.  Fold counts spread from region to region by the majority of
//     the votes of their common boundary; each cluster of regions so joined
//     is then shifted as a whole to agree with the first guess, and the
//     clusters it cannot settle try again against a second guess fitted to
//     the gates unfolded so far.
//  3. A check of every gate against its unfolded neighbours; a gate that
//     disagrees with them takes the fold nearest their mean if they agree
//     among themselves, and is unresolved otherwise.
// A sweep is computed by one thread from start to end: the result does not
// depend on the number of threads.
#pragma once

#include "_radar_frame.hpp"
#include "_radar_unfold_guess.hpp"

#include <queue>

namespace radar {
namespace unfold {

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
    run_items(n_sweeps, 1, n_threads, [&](std::int64_t k) {
        const std::int64_t g0 = gate_start[k];
        unfold::unfold_sweep({vel + g0, az + ray_start[k], dims[2 * k], dims[2 * k + 1], ny[k],
                              out + g0, folds + g0, flags + g0});
    });
    return py::make_tuple(unfolded, fold, unresolved);
}

}  // namespace radar
