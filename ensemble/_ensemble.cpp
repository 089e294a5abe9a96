// _ensemble: random measurement errors and ensemble statistics.
//
// Every threaded kernel follows the same frame: check the input shapes,
// allocate the outputs, release the interpreter lock and hand a block body to
// parallel_blocks.  A block body computes each of its points from the inputs
// and that point's index alone, so results do not depend on the thread count
// or on which thread claims which block.  The random numbers come from the
// counter-based Philox4x64-10 generator, addressed by key, member and point.
// Where the order of floating-point operations matters for bit-exact results,
// it is written out as the formulas give it; the build disables FMA
// contraction so that the compiler keeps that order.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using WordArray = py::array_t<std::uint64_t, py::array::c_style>;

constexpr double quiet_nan = std::numeric_limits<double>::quiet_NaN();

inline bool is_finite(double x) { return std::fabs(x) <= std::numeric_limits<double>::max(); }

// ---------------------------------------------------------------------------
// Block runner

constexpr std::int64_t grain = 256;

std::int64_t hardware_threads() {
    const unsigned reported = std::thread::hardware_concurrency();
    return reported == 0 ? 1 : static_cast<std::int64_t>(reported);
}

// Calls body(begin, end) for consecutive blocks of `grain` indices covering
// [0, n), claimed from a shared counter by the calling thread and up to
// worker_count - 1 started threads.  The first exception thrown by body on any
// thread stops further claiming and is rethrown here after every started
// thread has been joined.  A thread that the system refuses to start is
// simply not there: the threads already running finish the blocks.
template <class Body>
void parallel_blocks(std::int64_t n, int n_threads, const Body& body) {
    if (n <= 0) return;
    const std::int64_t requested = n_threads > 0 ? n_threads : hardware_threads();
    const std::int64_t blocks = n / grain + (n % grain != 0);
    const std::int64_t worker_count = std::min(requested, blocks);

    std::atomic<std::int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr first_error;

    auto block_loop = [&]() noexcept {
        try {
            while (!failed.load(std::memory_order_relaxed)) {
                const std::int64_t begin = next.fetch_add(grain);
                if (begin >= n) return;
                body(begin, std::min(begin + grain, n));
            }
        } catch (...) {
            if (!failed.exchange(true)) first_error = std::current_exception();
        }
    };

    if (worker_count <= 1) {
        block_loop();
    } else {
        std::vector<std::thread> started;
        try {
            started.reserve(static_cast<std::size_t>(worker_count - 1));
            for (std::int64_t k = 1; k < worker_count; ++k) started.emplace_back(block_loop);
        } catch (...) {
            // Out of threads or memory: carry on with the threads we have.
        }
        block_loop();
        for (std::thread& t : started) t.join();
    }
    if (first_error) std::rethrow_exception(first_error);
}

// The common tail of every threaded entry: run the blocks with the lock released.
template <class Body>
void run_blocks(std::int64_t n, int n_threads, const Body& body) {
    py::gil_scoped_release release;
    parallel_blocks(n, n_threads, body);
}

Array new_output(std::vector<py::ssize_t> shape) { return Array(std::move(shape)); }

void require(bool ok, const char* message) {
    if (!ok) throw std::invalid_argument(message);
}

// ---------------------------------------------------------------------------
// Philox4x64-10

using Words = std::array<std::uint64_t, 4>;
using u128 = unsigned __int128;

constexpr std::uint64_t philox_mul0 = 0xD2E7470EE14C6C93;
constexpr std::uint64_t philox_mul1 = 0xCA5A826395121157;
constexpr std::uint64_t philox_bump0 = 0x9E3779B97F4A7C15;
constexpr std::uint64_t philox_bump1 = 0xBB67AE8584CAA73B;
constexpr int philox_rounds = 10;

constexpr std::uint64_t high(u128 p) { return static_cast<std::uint64_t>(p >> 64); }
constexpr std::uint64_t low(u128 p) { return static_cast<std::uint64_t>(p); }

constexpr Words philox_round(const Words& x, std::uint64_t r0, std::uint64_t r1) {
    const u128 p0 = u128(philox_mul0) * x[0];
    const u128 p1 = u128(philox_mul1) * x[2];
    return {high(p1) ^ x[1] ^ r0, low(p1), high(p0) ^ x[3] ^ r1, low(p0)};
}

// The generator as published: ten rounds, the key bumped after each.
constexpr Words philox4x64_10(Words x, std::uint64_t r0, std::uint64_t r1) {
    for (int k = 0; k < philox_rounds; ++k) {
        x = philox_round(x, r0, r1);
        r0 += philox_bump0;
        r1 += philox_bump1;
    }
    return x;
}

// The stream of one key and one counter tail (c1, c2, 0) as a function of c0.
// The round keys and every part of the first two rounds that does not depend
// on c0 are computed once here, so that a draw costs the c0 product of round
// 1, one product of round 2 and the eight full rounds after them.
class PhiloxStream {
public:
    constexpr PhiloxStream(std::uint64_t k0, std::uint64_t k1, std::uint64_t c1, std::uint64_t c2) {
        for (int k = 0; k < philox_rounds; ++k) {
            key0_[k] = k0 + philox_bump0 * static_cast<std::uint64_t>(k);
            key1_[k] = k1 + philox_bump1 * static_cast<std::uint64_t>(k);
        }
        const u128 p1 = u128(philox_mul1) * c2;
        after1_x0_ = high(p1) ^ c1 ^ key0_[0];
        after1_x1_ = low(p1);
        round2_p0_ = u128(philox_mul0) * after1_x0_;
    }

    // The words for counter word c0, given its round-1 product philox_mul0 * c0.
    constexpr Words from_product(u128 c0_product) const {
        const std::uint64_t x2 = high(c0_product) ^ key1_[0];
        const std::uint64_t x3 = low(c0_product);
        const u128 p1 = u128(philox_mul1) * x2;
        Words x = {high(p1) ^ after1_x1_ ^ key0_[1], low(p1), high(round2_p0_) ^ x3 ^ key1_[1],
                   low(round2_p0_)};
        for (int k = 2; k < philox_rounds; ++k) x = philox_round(x, key0_[k], key1_[k]);
        return x;
    }

    constexpr Words at(std::uint64_t c0) const { return from_product(u128(philox_mul0) * c0); }

private:
    std::uint64_t key0_[philox_rounds] = {}, key1_[philox_rounds] = {};
    std::uint64_t after1_x0_ = 0, after1_x1_ = 0;
    u128 round2_p0_ = 0;
};

constexpr bool stream_matches_generator(std::uint64_t k0, std::uint64_t k1, std::uint64_t c0,
                                        std::uint64_t c1, std::uint64_t c2) {
    const Words a = PhiloxStream(k0, k1, c1, c2).at(c0);
    const Words b = philox4x64_10({c0, c1, c2, 0}, k0, k1);
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}
static_assert(stream_matches_generator(0, 0, 1, 0, 0), "shortcut differs from the generator");
static_assert(stream_matches_generator(0x243F6A8885A308D3, ~0ull, 12345, ~0ull, 1),
              "shortcut differs from the generator");

constexpr double two_pow_minus_53 = 1.1102230246251565e-16;
constexpr double two_pi = 6.283185307179586;

// (0, 1]: never 0, so its logarithm is finite.
inline double uniform_nonzero(std::uint64_t w) {
    return static_cast<double>((w >> 11) + 1) * two_pow_minus_53;
}

// [0, 1).
inline double uniform_below_one(std::uint64_t w) {
    return static_cast<double>(w >> 11) * two_pow_minus_53;
}

inline double box_muller_radius(std::uint64_t w_r) {
    return std::sqrt(std::log(uniform_nonzero(w_r)) * -2.0);
}

inline double box_muller_angle(std::uint64_t w_t) { return uniform_below_one(w_t) * two_pi; }

struct NormalPair {
    double a, b;  // radius * cos(angle), radius * sin(angle)
};

inline NormalPair normal_pair(std::uint64_t w_r, std::uint64_t w_t) {
    const double radius = box_muller_radius(w_r);
    double s, c;
    sincos(box_muller_angle(w_t), &s, &c);
    return {radius * c, radius * s};
}

// The cosine term of normal_pair alone, for draws whose sine term is unused.
inline double normal_cos(std::uint64_t w_r, std::uint64_t w_t) {
    return box_muller_radius(w_r) * std::cos(box_muller_angle(w_t));
}

// ---------------------------------------------------------------------------
// words: raw generator output, on the calling thread with the lock held

WordArray words_py(std::uint64_t k0, std::uint64_t k1, std::int64_t member, std::int64_t block,
                   std::int64_t n) {
    WordArray out({static_cast<py::ssize_t>(n), py::ssize_t{4}});
    std::uint64_t* o = out.mutable_data();
    const PhiloxStream stream(k0, k1, static_cast<std::uint64_t>(member),
                              static_cast<std::uint64_t>(block));
    // c0 = j + 1 grows by one per row, so its round-1 product grows by the multiplier.
    u128 c0_product = philox_mul0;
    for (std::int64_t j = 0; j < n; ++j, c0_product += philox_mul0) {
        const Words w = stream.from_product(c0_product);
        std::copy(w.begin(), w.end(), o + 4 * j);
    }
    return out;
}

// ---------------------------------------------------------------------------
// perturb: random measurement errors on polarimetric radar fields

enum FieldFlag : int { flag_dbz = 1, flag_zdr = 2, flag_phidp = 4, flag_rhohv = 8, flag_vel = 16 };

constexpr double decibel_factor = 4.342944819032518;  // 10 / ln 10, correctly rounded

inline double clip_unit(double x) { return x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x); }

// The inputs of perturb as raw pointers, and where member i's fields go.
struct PerturbData {
    const double *dbz, *zdr, *phidp, *rhohv, *vel;
    const double* fac[6];
    const double *bias_dbz, *bias_zdr;
    int flags;
    std::int64_t n, F;
    double* out;

    // Output row of member i for the field in slot s.
    double* row(std::int64_t i, std::int64_t s) const { return out + (i * F + s) * n; }
};

// Points drawn together, so that the calls to log, sqrt and sincos of
// neighbouring points are independent and overlap in the processor.
constexpr std::int64_t draw_batch = 16;

// Member i, points [begin, end): the deviates first, then the fields.
void perturb_member(const PerturbData& d, std::uint64_t k0, std::uint64_t k1, std::uint64_t member,
                    std::int64_t i, std::int64_t begin, std::int64_t end) {
    const PhiloxStream main_block(k0, k1, member, 0), vel_block(k0, k1, member, 1);
    const bool with_vel = d.flags & flag_vel;
    double* rows[5];
    {
        std::int64_t s = 0;
        for (int bit = 0; bit < 5; ++bit) rows[bit] = (d.flags >> bit) & 1 ? d.row(i, s++) : nullptr;
    }
    const double bias_dbz = d.bias_dbz[i], bias_zdr = d.bias_zdr[i];

    for (std::int64_t g0 = begin; g0 < end; g0 += draw_batch) {
        const std::int64_t count = std::min(draw_batch, end - g0);
        double d0[draw_batch], d1[draw_batch], d2[draw_batch], d3[draw_batch], e0[draw_batch];
        for (std::int64_t k = 0; k < count; ++k) {
            const std::uint64_t c0 = static_cast<std::uint64_t>(g0 + k) + 1;
            const Words w = main_block.at(c0);
            const NormalPair p01 = normal_pair(w[0], w[1]), p23 = normal_pair(w[2], w[3]);
            d0[k] = p01.a;
            d1[k] = p01.b;
            d2[k] = p23.a;
            d3[k] = p23.b;
            if (with_vel) {
                const Words y = vel_block.at(c0);
                e0[k] = normal_cos(y[0], y[1]);
            }
        }
        for (std::int64_t k = 0; k < count; ++k) {
            const std::int64_t g = g0 + k;
            const double eh = d0[k] * d.fac[0][g];
            if (rows[0]) rows[0][g] = (d.dbz[g] + bias_dbz) + decibel_factor * eh;
            if (rows[1]) {
                const double ev = (d1[k] * d.fac[2][g]) + (d.fac[1][g] * d0[k]);
                rows[1][g] = (d.zdr[g] + bias_zdr) + decibel_factor * (eh - ev);
            }
            if (rows[2]) rows[2][g] = (d2[k] * d.fac[3][g]) + d.phidp[g];
            if (rows[3]) rows[3][g] = clip_unit((d3[k] * d.fac[4][g]) + d.rhohv[g]);
            if (rows[4]) rows[4][g] = (e0[k] * d.fac[5][g]) + d.vel[g];
        }
    }
}

Array perturb_py(Array dbz, Array zdr, Array phidp, Array rhohv, Array vel, int flags, Array fac,
                 Array bias_dbz, Array bias_zdr, std::uint64_t k0, std::uint64_t k1,
                 std::int64_t m0, int n_threads) {
    require(fac.ndim() == 2 && fac.shape(0) == 6, "fac must be (6, n)");
    const std::int64_t n = fac.shape(1);
    const std::int64_t M = bias_dbz.size();
    require(bias_zdr.size() == M, "bias arrays differ in length");
    const Array* fields[5] = {&dbz, &zdr, &phidp, &rhohv, &vel};
    std::int64_t F = 0;
    for (int bit = 0; bit < 5; ++bit) {
        if (!((flags >> bit) & 1)) continue;
        require(fields[bit]->size() == n, "a field differs in size from fac");
        ++F;
    }

    Array out = new_output({M, F, n});
    PerturbData d{dbz.data(), zdr.data(), phidp.data(), rhohv.data(), vel.data(), {},
                  bias_dbz.data(), bias_zdr.data(), flags, n, F, out.mutable_data()};
    for (int r = 0; r < 6; ++r) d.fac[r] = fac.data() + r * n;
    // Member numbers wrap modulo 2^64, as counter words do.
    const std::uint64_t first_member = static_cast<std::uint64_t>(m0);
    run_blocks(n, n_threads, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = 0; i < M; ++i)
            perturb_member(d, k0, k1, first_member + static_cast<std::uint64_t>(i), i, begin, end);
    });
    return out;
}

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
    m.def("perturb", &perturb_py, py::arg("dbz"), py::arg("zdr"), py::arg("phidp"),
          py::arg("rhohv"), py::arg("vel"), py::arg("flags"), py::arg("fac"), py::arg("bias_dbz"),
          py::arg("bias_zdr"), py::arg("k0"), py::arg("k1"), py::arg("m0"),
          py::arg("n_threads") = 0);
    m.def("words", &words_py, py::arg("k0"), py::arg("k1"), py::arg("member"), py::arg("block"),
          py::arg("n"));
}
