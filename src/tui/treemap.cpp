#include "src/tui/treemap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace bramvelt::tui {
namespace {

struct Plane {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
};

double worst_ratio(std::span<const double> row, double side) {
    double sum = 0;
    double lo = std::numeric_limits<double>::infinity();
    double hi = 0;
    for (double a : row) {
        sum += a;
        lo = std::min(lo, a);
        hi = std::max(hi, a);
    }
    if (side <= 0 || sum <= 0) return std::numeric_limits<double>::infinity();
    const double side2 = side * side;
    const double sum2 = sum * sum;
    return std::max(sum2 / (side2 * lo), side2 * hi / sum2);
}

// Nearest integer, halves away from zero, held to 0..65,535.
std::uint32_t to_cell(double v) {
    const double r = std::round(v);
    if (!(r > 0)) return 0;
    return static_cast<std::uint32_t>(std::min(r, 65535.0));
}

}  // namespace

std::vector<std::optional<kit::Rect>> squarify(std::span<const std::uint64_t> sizes,
                                               kit::Rect region) {
    std::vector<std::optional<kit::Rect>> out(sizes.size());
    double total = 0;
    for (std::uint64_t s : sizes) total += static_cast<double>(s);
    if (region.width == 0 || region.height == 0 || total <= 0) return out;

    const double plane_area = 2.0 * region.height * region.width;
    std::vector<double> areas(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        areas[i] = static_cast<double>(sizes[i]) * plane_area / total;
    }
    std::vector<std::optional<Plane>> placed(sizes.size());
    double fx = 0;
    double fy = 0;
    double fw = region.width;
    double fh = 2.0 * region.height;

    std::size_t i = 0;
    while (i < areas.size()) {
        if (areas[i] <= 0) {
            ++i;
            continue;
        }
        const double side = std::min(fw, fh);
        std::size_t end = i + 1;
        while (end < areas.size() && areas[end] > 0) {
            const std::span<const double> row(areas.data() + i, end - i);
            const std::span<const double> extended(areas.data() + i, end - i + 1);
            if (worst_ratio(extended, side) > worst_ratio(row, side)) break;
            ++end;
        }
        double sum = 0;
        for (std::size_t k = i; k < end; ++k) sum += areas[k];
        if (fw >= fh) {
            const double t = fh > 0 ? sum / fh : 0;
            double y = fy;
            for (std::size_t k = i; k < end; ++k) {
                const double h = t > 0 ? areas[k] / t : 0;
                placed[k] = Plane{fx, y, t, h};
                y += h;
            }
            fx += t;
            fw -= t;
        } else {
            const double t = fw > 0 ? sum / fw : 0;
            double x = fx;
            for (std::size_t k = i; k < end; ++k) {
                const double w = t > 0 ? areas[k] / t : 0;
                placed[k] = Plane{x, fy, w, t};
                x += w;
            }
            fy += t;
            fh -= t;
        }
        i = end;
    }

    for (std::size_t k = 0; k < placed.size(); ++k) {
        if (!placed[k]) continue;
        const Plane& p = *placed[k];
        const std::uint32_t left = to_cell(p.x);
        const std::uint32_t right = std::min<std::uint32_t>(to_cell(p.x + p.w), region.width);
        const std::uint32_t top = to_cell(p.y / 2);
        const std::uint32_t bottom =
            std::min<std::uint32_t>(to_cell((p.y + p.h) / 2), region.height);
        if (right <= left || bottom <= top) continue;
        out[k] = kit::Rect::make(region.x + left, region.y + top, right - left, bottom - top);
    }
    return out;
}

}  // namespace bramvelt::tui
