#include "ui/mark.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace vornet::app {
namespace {

constexpr std::uint32_t kTileColor = 0x3B5BDB;
constexpr std::uint32_t kLineColor = 0xFFFFFF;

struct Point {
    double x;
    double y;
};

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

double segmentDistance(Point p, Point a, Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double lengthSquared = dx * dx + dy * dy;
    double t = 0.0;
    if (lengthSquared > 0.0) t = ((p.x - a.x) * dx + (p.y - a.y) * dy) / lengthSquared;
    t = std::clamp(t, 0.0, 1.0);
    return distance(p, Point{a.x + t * dx, a.y + t * dy});
}

// Signed distance to the rounded square [0, s]² with corner radius r; negative inside.
double tileDistance(Point p, double s, double r) {
    const bool middleBand = (p.x >= r && p.x <= s - r) || (p.y >= r && p.y <= s - r);
    const bool inSquare = p.x >= 0.0 && p.x <= s && p.y >= 0.0 && p.y <= s;
    if (middleBand && inSquare) return -std::min({p.x, p.y, s - p.x, s - p.y});
    const Point corner{std::clamp(p.x, r, s - r), std::clamp(p.y, r, s - r)};
    return distance(p, corner) - r;
}

std::uint32_t roundChannel(double v) { return static_cast<std::uint32_t>(std::round(v)); }

}  // namespace

std::uint32_t toneColor(int tone) {
    if (tone == 0) return 0x1E7F4F;
    if (tone == 2) return 0xE5484D;
    return 0xD9860B;
}

std::vector<std::uint32_t> renderMark(int size, int tone, bool badge) {
    if (size < 1) return {};
    const double s = static_cast<double>(size);
    const double r = 0.24 * s;
    const double pad = 0.16 * s;
    const double u = (s - 2.0 * pad) / 18.0;
    const double m = 0.5 * s;
    const std::array<Point, 6> line{Point{pad, m},          Point{pad + 4 * u, m},  Point{pad + 7 * u, m - 7 * u},
                                    Point{pad + 11 * u, m + 7 * u}, Point{pad + 14 * u, m}, Point{pad + 18 * u, m}};
    const double halfWidth = std::max(1.2, 0.115 * s) / 2.0;
    const Point badgeCentre{0.75 * s, 0.75 * s};
    const double b = 0.25 * s;
    const double gap = std::max(1.0, 0.07 * s);
    const std::uint32_t badgeColor = toneColor(tone);

    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            int counted = 0;
            double sum[3] = {0, 0, 0};
            auto add = [&](std::uint32_t rgb) {
                ++counted;
                sum[0] += (rgb >> 16) & 0xFF;
                sum[1] += (rgb >> 8) & 0xFF;
                sum[2] += rgb & 0xFF;
            };
            for (int j = 0; j < 4; ++j) {
                for (int i = 0; i < 4; ++i) {
                    const Point p{x + (i + 0.5) / 4.0, y + (j + 0.5) / 4.0};
                    if (badge) {
                        const double d = distance(p, badgeCentre);
                        if (d <= b) {
                            add(badgeColor);
                            continue;
                        }
                        if (d <= b + gap) continue;
                    }
                    if (tileDistance(p, s, r) > 0.0) continue;
                    bool onLine = false;
                    for (std::size_t k = 0; k + 1 < line.size() && !onLine; ++k) {
                        onLine = segmentDistance(p, line[k], line[k + 1]) <= halfWidth;
                    }
                    add(onLine ? kLineColor : kTileColor);
                }
            }
            if (counted == 0) continue;
            const std::uint32_t alpha = roundChannel(counted * 255.0 / 16.0);
            const std::uint32_t red = roundChannel(sum[0] / counted);
            const std::uint32_t green = roundChannel(sum[1] / counted);
            const std::uint32_t blue = roundChannel(sum[2] / counted);
            pixels[static_cast<std::size_t>(y) * size + x] = (alpha << 24) | (red << 16) | (green << 8) | blue;
        }
    }
    return pixels;
}

}  // namespace vornet::app
