#include "engine/rejection.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t kNeighbourhood = 15;
// A steady night's means differ by a fraction of a level; without a floor on the spread the
// noise alone would reject frames.
constexpr double kMinimumDeviation = 1.0;

// Sorts values; the middle one, or the mean of the middle two.
double median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    const std::size_t half = values.size() / 2;
    return values.size() % 2 != 0 ? values[half] : 0.5 * (values[half - 1] + values[half]);
}

}  // namespace

std::vector<Rejection> rejectBright(const std::vector<double>& means, double k) {
    const std::size_t count = means.size();
    const std::size_t window = std::min(count, kNeighbourhood);
    std::vector<Rejection> result;
    result.reserve(count);
    std::vector<double> measured;
    measured.reserve(window);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t first = std::min(i - std::min(i, kNeighbourhood / 2), count - window);
        measured.clear();
        for (std::size_t j = first; j < first + window; ++j) {
            if (!std::isnan(means[j]))
                measured.push_back(means[j]);
        }
        double limit = std::numeric_limits<double>::quiet_NaN();
        if (!measured.empty()) {
            const double centre = median(measured);
            for (double& value : measured)
                value = std::fabs(value - centre);
            limit = centre + k * std::max(median(measured), kMinimumDeviation);
        }
        // A comparison with NaN is false, so an unmeasured frame is never rejected.
        result.push_back({means[i] > limit, means[i], limit});
    }
    return result;
}
