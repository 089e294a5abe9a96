// Cost floors of the _ensemble kernels: the work that no implementation of
// them can skip, written as plainly as possible and built with the same
// exactness flags.

#include <cmath>
#include <cstdint>

namespace {

using u128 = unsigned __int128;

struct Words {
    std::uint64_t w[4];
};

// Philox4x64-10 with the round keys and the c0-free parts of the first round
// hoisted out of the point loop, as a fast generator would do.
struct Philox {
    std::uint64_t key0[10], key1[10];
    std::uint64_t x0, x1;

    Philox(std::uint64_t k0, std::uint64_t k1, std::uint64_t c1, std::uint64_t c2) {
        for (int k = 0; k < 10; ++k) {
            key0[k] = k0 + 0x9E3779B97F4A7C15ull * k;
            key1[k] = k1 + 0xBB67AE8584CAA73Bull * k;
        }
        const u128 p1 = u128(0xCA5A826395121157ull) * c2;
        x0 = std::uint64_t(p1 >> 64) ^ c1 ^ key0[0];
        x1 = std::uint64_t(p1);
    }

    Words at(std::uint64_t c0) const {
        const u128 p0 = u128(0xD2E7470EE14C6C93ull) * c0;
        Words x = {{x0, x1, std::uint64_t(p0 >> 64) ^ key1[0], std::uint64_t(p0)}};
        for (int k = 1; k < 10; ++k) {
            const u128 a = u128(0xD2E7470EE14C6C93ull) * x.w[0];
            const u128 b = u128(0xCA5A826395121157ull) * x.w[2];
            x = {{std::uint64_t(b >> 64) ^ x.w[1] ^ key0[k], std::uint64_t(b),
                  std::uint64_t(a >> 64) ^ x.w[3] ^ key1[k], std::uint64_t(a)}};
        }
        return x;
    }
};

double pair_sum(std::uint64_t w_r, std::uint64_t w_t) {
    const double radius = std::sqrt(std::log(double((w_r >> 11) + 1) * 0x1p-53) * -2.0);
    double s, c;
    sincos(double(w_t >> 11) * 0x1p-53 * 6.283185307179586, &s, &c);
    return radius * c + radius * s;
}

}  // namespace

extern "C" {

// Two Philox blocks and three normal pairs per member and point, summed so
// that nothing is optimised away.
double perturb_floor(std::int64_t members, std::int64_t n, std::uint64_t k0, std::uint64_t k1) {
    double sink = 0.0;
    for (std::int64_t i = 0; i < members; ++i) {
        const Philox main_block(k0, k1, i, 0), vel_block(k0, k1, i, 1);
        for (std::int64_t g = 0; g < n; ++g) {
            const Words w = main_block.at(g + 1), y = vel_block.at(g + 1);
            sink += pair_sum(w.w[0], w.w[1]) + pair_sum(w.w[2], w.w[3]) + pair_sum(y.w[0], y.w[1]);
        }
    }
    return sink;
}

// The generator alone, into a buffer that is already paged in: what words
// costs without the allocation of its output.
void words_floor(std::int64_t n, std::uint64_t k0, std::uint64_t k1, std::uint64_t* out) {
    const Philox stream(k0, k1, 3, 0);
    for (std::int64_t j = 0; j < n; ++j) {
        const Words w = stream.at(j + 1);
        for (int k = 0; k < 4; ++k) out[4 * j + k] = w.w[k];
    }
}

}  // extern "C"
