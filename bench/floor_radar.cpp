// Memory floor of the sweep fit: every value of every sweep read once, ray
// after ray along its contiguous gates, as the fit must read them at least.
#include <cstdint>

extern "C" {

// Sum of a (rays, gates) sweep of float32 (itemsize 4) or float64 values,
// rays `ray_stride` bytes apart.
double floor_sweep_read(const char* data, std::int64_t rays, std::int64_t gates,
                        std::int64_t ray_stride, int itemsize) {
    double acc = 0.0;
    for (std::int64_t j = 0; j < rays; ++j) {
        const char* row = data + j * ray_stride;
        if (itemsize == 4) {
            const float* x = reinterpret_cast<const float*>(row);
            for (std::int64_t g = 0; g < gates; ++g) acc += x[g];
        } else {
            const double* x = reinterpret_cast<const double*>(row);
            for (std::int64_t g = 0; g < gates; ++g) acc += x[g];
        }
    }
    return acc;
}
}
