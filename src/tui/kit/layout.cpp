#include "src/tui/kit/layout.hpp"

#include <algorithm>
#include <cmath>

namespace bramvelt::tui::kit {
namespace {

using Kind = Constraint::Kind;

// How firmly a constraint holds its size when space is short; lower gives way first.
int firmness(Kind k) {
    switch (k) {
        case Kind::Fill:
            return 0;
        case Kind::Ratio:
            return 1;
        case Kind::Percentage:
            return 2;
        case Kind::Length:
            return 3;
        case Kind::Max:
            return 4;
        case Kind::Min:
            return 5;
    }
    return 0;
}

double requested(const Constraint& c, double space) {
    switch (c.kind) {
        case Kind::Length:
            return c.a;
        case Kind::Percentage:
            return space * std::min<double>(c.a, 100.0) / 100.0;
        case Kind::Ratio:
            return c.b == 0 ? 0.0 : space * std::min(1.0, static_cast<double>(c.a) / c.b);
        case Kind::Min:
            return c.a;
        case Kind::Max:
            return std::min<double>(c.a, space);
        case Kind::Fill:
            return 0.0;
    }
    return 0.0;
}

}  // namespace

std::vector<Rect> Layout::split(Rect area) const {
    const std::size_t n = constraints.size();
    std::vector<Rect> out;
    if (n == 0) {
        return out;
    }
    const bool horizontal = direction == Direction::Horizontal;
    const std::uint32_t total = horizontal ? area.width : area.height;
    const std::uint32_t origin = horizontal ? area.x : area.y;
    const double gaps = static_cast<double>(spacing) * static_cast<double>(n - 1);
    const double space = std::max(0.0, static_cast<double>(total) - gaps);

    std::vector<double> size(n);
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        size[i] = requested(constraints[i], space);
        sum += size[i];
    }
    if (sum > space) {
        // Take the excess from the softest constraints, the last one first.
        double excess = sum - space;
        for (int level = 0; level <= 5 && excess > 0; ++level) {
            for (std::size_t j = n; j-- > 0 && excess > 0;) {
                if (firmness(constraints[j].kind) != level) {
                    continue;
                }
                const double cut = std::min(size[j], excess);
                size[j] -= cut;
                excess -= cut;
            }
        }
    } else if (sum < space) {
        double extra = space - sum;
        double weights = 0;
        for (const Constraint& c : constraints) {
            if (c.kind == Kind::Fill) {
                weights += c.a;
            }
        }
        std::size_t fills = 0;
        for (const Constraint& c : constraints) {
            fills += c.kind == Kind::Fill ? 1 : 0;
        }
        std::size_t mins = 0;
        for (const Constraint& c : constraints) {
            mins += c.kind == Kind::Min ? 1 : 0;
        }
        if (fills > 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (constraints[i].kind != Kind::Fill) {
                    continue;
                }
                // All weights 0: equal shares.
                size[i] += weights > 0 ? extra * constraints[i].a / weights
                                       : extra / static_cast<double>(fills);
            }
        } else if (mins > 0) {
            for (std::size_t i = 0; i < n; ++i) {
                if (constraints[i].kind == Kind::Min) {
                    size[i] += extra / static_cast<double>(mins);
                }
            }
        }
    }

    const double end_limit = static_cast<double>(origin) + total;
    double pos = origin;
    for (std::size_t i = 0; i < n; ++i) {
        const double start = std::min(pos, end_limit);
        const double end = std::min(start + size[i], end_limit);
        const auto s = static_cast<std::uint32_t>(std::round(start));
        const auto e = std::max(s, static_cast<std::uint32_t>(std::round(end)));
        if (horizontal) {
            out.push_back(Rect::make(s, area.y, e - s, area.height));
        } else {
            out.push_back(Rect::make(area.x, s, area.width, e - s));
        }
        pos = end + spacing;
    }
    return out;
}

}  // namespace bramvelt::tui::kit
