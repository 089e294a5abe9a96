// Cost floors of the _velmora kernels: the libm calls that each kernel cannot
// avoid, with nothing else around them.  The sums keep the calls alive.
#include <cmath>
#include <cstdint>

extern "C" {

// vad: sin and cos of az and of az + az, once per sample.
double floor_vad(const double* az, std::int64_t n) {
    double acc = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double a = az[j], twice = a + a;
        acc += std::sin(a) + std::cos(a) + std::sin(twice) + std::cos(twice);
    }
    return acc;
}

// thermo: two pow, two exp and one log per point, independent of each other.
double floor_thermo(const double* t, const double* p, const double* td, std::int64_t n) {
    double acc = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double r = 100000.0 / p[i];
        acc += std::pow(r, 0.28542059262205427) + std::pow(r, 0.2854 * (t[i] * 1e-3)) +
               std::exp(td[i] * 1e-2) + std::exp(t[i] * 1e-3) + std::log(t[i] / td[i]);
    }
    return acc;
}

// Copy bandwidth: bytes moved by a plain copy, for memory-bound kernels.
void floor_copy(const double* src, double* dst, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) dst[i] = src[i];
}
}
