// Simplification by greedy insertion: the TIN of one tile (its triangles,
// their worst points queued worst first, insertion with Delaunay flips that
// keep the outline), the tile borders simplified first along their lines,
// and Simplify, which covers the kept region, runs the tiles on threads and
// joins their triangles into one mesh over the job's vertices.
#include "mesh/simplify.h"

#include "common/parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "mesh/error_scan.h"
#include "mesh/gpu_order.h"
#include "mesh/region_cover.h"
#include "mesh/tin_geometry.h"

namespace heightmesh::tool {

namespace {

using namespace tin;

// Tiles are simplified on their own threads; their borders are fixed first.
// At 256 cells a tile's heights (256 KB) stay in a core's own cache, an
// insertion re-scans triangles of at most a tile, the tiles spread evenly
// over the threads, and the border lines cost little: most of their points
// are points the mesh keeps anyway.
constexpr int32_t kTileCells = 256;
// A grid of at most this many cells a side is one tile unless its surface is
// dense (a tight bound on rough ground): on a sparse surface of so few
// triangles the border lines' points would be a large share of the mesh and
// would cost more triangles than the second core saves time.
constexpr int32_t kOneTileCells = 512;
// Dense: at least this share of the points of the 256-cell tiles' border
// lines are kept when the lines are simplified on their own.
constexpr double kDenseLineShare = 0.4;
// Denser ground is cut into smaller tiles: with tens of thousands of
// triangles a tile's triangles and vertices outgrow a core's cache, and each
// insertion's flips and scans wait on memory; the border lines of smaller
// tiles keep little the mesh would not keep anyway (their share says so).
struct TileStep {
    double lineShare;  // at least this share of the 256-cell lines' points kept
    int32_t cells;
};
constexpr TileStep kDenseTiles[] = {{0.5, 64}, {0.25, 128}};

// Whether d lies strictly inside the circle through the counter-clockwise a,
// b, c, exactly: T must hold fourth powers of the coordinate differences.
template <class T>
bool InCircle(Point a, Point b, Point c, Point d)
{
    const T adx = a.x - d.x, ady = a.y - d.y, bdx = b.x - d.x, bdy = b.y - d.y, cdx = c.x - d.x, cdy = c.y - d.y;
    const T det = (adx * adx + ady * ady) * (bdx * cdy - cdx * bdy) +
                  (bdx * bdx + bdy * bdy) * (cdx * ady - adx * cdy) + (cdx * cdx + cdy * cdy) * (adx * bdy - bdx * ady);
    return det > 0;
}

// A triangle with its worst grid point: 32 bytes, so that one cache line
// holds what an insertion reads and writes of it.
struct alignas(32) Triangle {
    int32_t v[3];            // counter-clockwise in (column, row)
    int32_t n[3];            // the triangle across edge (v[k], v[k+1]), or -1 on the outline
    int32_t candidate = -1;  // its worst grid point, -1: none
    uint32_t stamp = 0;      // which of its queue entries is current
};

struct Candidate {
    int32_t triangle;
    uint32_t stamp;
};

// A binary max-heap of candidates by error that takes and gives them in the
// order std::priority_queue of libstdc++ does (the same sift steps, so that
// equal errors come out in the same order), with the errors kept apart from
// the rest so that the sift steps read half the memory.
class WorstFirst {
public:
    bool empty() const { return errors_.empty(); }
    double topError() const { return errors_[0]; }
    Candidate top() const { return items_[0]; }

    void push(double error, Candidate item)
    {
        errors_.push_back(error);
        items_.push_back(item);
        SiftUp(errors_.size() - 1, 0, error, item);
    }

    void pop()
    {
        const std::size_t last = errors_.size() - 1;
        if (last > 0) {
            const double error = errors_[last];
            const Candidate item = items_[last];
            errors_[last] = errors_[0];
            items_[last] = items_[0];
            // Move the hole at the top down to a leaf along the larger
            // children, then the last entry up from there.
            const std::size_t length = last;
            std::size_t hole = 0, child = 0;
            while (child < (length - 1) / 2) {
                child = 2 * (child + 1);
                child -= static_cast<std::size_t>(errors_[child] < errors_[child - 1]);
                Move(hole, child);
                hole = child;
            }
            if ((length & 1) == 0 && child == (length - 2) / 2) {
                child = 2 * (child + 1);
                Move(hole, child - 1);
                hole = child - 1;
            }
            SiftUp(hole, 0, error, item);
        }
        errors_.pop_back();
        items_.pop_back();
    }

private:
    void Move(std::size_t to, std::size_t from)
    {
        errors_[to] = errors_[from];
        items_[to] = items_[from];
    }
    void SiftUp(std::size_t hole, std::size_t top, double error, Candidate item)
    {
        std::size_t parent = (hole - 1) / 2;
        while (hole > top && errors_[parent] < error) {
            Move(hole, parent);
            hole = parent;
            parent = (hole - 1) / 2;
        }
        errors_[hole] = error;
        items_[hole] = item;
    }

    std::vector<double> errors_;
    std::vector<Candidate> items_;
};

// The greedy insertion over one tile's kept region. Triangles name the tile's
// own vertices, which remember their grid point.
class Tin {
public:
    // `sharedEdges`: the grid's own edges are shared with other grids too.
    Tin(std::span<const float> heights, int32_t width, const CellRect& tile, int32_t lastColumn, int32_t lastRow,
        bool narrow, unsigned lanes, bool sharedEdges)
        : heights_(heights, width, tile), width_(width), narrow_(narrow), scan_(ChooseTriangleScan(lanes))
    {
        // Points on a border shared with another tile are fixed.
        locked_.columns[0] = tile.column0 > 0 || sharedEdges ? tile.column0 : -1;
        locked_.columns[1] = tile.column1 < lastColumn || sharedEdges ? tile.column1 : -1;
        locked_.rows[0] = tile.row0 > 0 || sharedEdges ? tile.row0 : -1;
        locked_.rows[1] = tile.row1 < lastRow || sharedEdges ? tile.row1 : -1;
    }

    // Starts from triangles over grid point indices.
    void Build(const std::vector<int32_t>& gridCorners)
    {
        std::vector<int32_t> ids(gridCorners);
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        for (const int32_t id : ids)
            corners_.push_back(CornerOf(id, width_));
        const auto local = [&](int32_t id) {
            return static_cast<int32_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
        };
        const std::size_t count = gridCorners.size() / 3;
        triangles_.resize(count);
        std::vector<std::pair<uint64_t, int32_t>> edges;
        edges.reserve(3 * count);
        for (std::size_t t = 0; t < count; ++t) {
            Triangle& tri = triangles_[t];
            for (int k = 0; k < 3; ++k) {
                tri.v[k] = local(gridCorners[3 * t + static_cast<std::size_t>(k)]);
                tri.n[k] = -1;
            }
            for (int k = 0; k < 3; ++k) {
                const uint32_t a = static_cast<uint32_t>(tri.v[k]), b = static_cast<uint32_t>(tri.v[(k + 1) % 3]);
                const uint64_t key = (uint64_t{std::min(a, b)} << 32) | std::max(a, b);
                edges.emplace_back(key, static_cast<int32_t>(3 * t + static_cast<std::size_t>(k)));
            }
        }
        std::sort(edges.begin(), edges.end());
        for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
            if (edges[i].first != edges[i + 1].first)
                continue;
            const int32_t e = edges[i].second, f = edges[i + 1].second;
            triangles_[static_cast<std::size_t>(e / 3)].n[e % 3] = f / 3;
            triangles_[static_cast<std::size_t>(f / 3)].n[f % 3] = e / 3;
            ++i;
        }
        // Delaunay (constrained by the outline) before any insertion.
        for (int32_t t = 0; t < static_cast<int32_t>(count); ++t)
            for (int k = 0; k < 3; ++k)
                pending_.push_back({t, k});
        Legalize();
        touched_.clear();
        for (int32_t t = 0; t < static_cast<int32_t>(triangles_.size()); ++t)
            Rescan(t);
    }

    // Inserts the worst point until every point is within `maxError` or the
    // next insertion would pass `maxTriangles` (0: no limit).
    void Refine(double maxError, int64_t maxTriangles)
    {
        while (!queue_.empty()) {
            const double error = queue_.topError();
            const Candidate top = queue_.top();
            queue_.pop();
            const Triangle& tri = triangles_[static_cast<std::size_t>(top.triangle)];
            if (top.stamp != tri.stamp)
                continue;
            if (error <= maxError)
                break;
            if (maxTriangles > 0 && static_cast<int64_t>(triangles_.size()) + 2 > maxTriangles)
                break;
            Insert(top.triangle, tri.candidate);
        }
    }

    std::size_t triangleCount() const { return triangles_.size(); }
    std::size_t vertexCount() const { return corners_.size(); }
    // Corner k of triangle t: the tile's vertex, and its grid point.
    int32_t Vertex(std::size_t t, int k) const { return triangles_[t].v[k]; }
    int32_t GridPoint(int32_t v) const { return corners_[static_cast<std::size_t>(v)].id; }
    int32_t GridVertex(std::size_t t, int k) const { return GridPoint(Vertex(t, k)); }
    bool OnOutline(std::size_t t, int k) const { return triangles_[t].n[k] < 0; }

private:
    const Point& P(int32_t v) const { return corners_[static_cast<std::size_t>(v)].p; }

    bool CircleHolds(int32_t a, int32_t b, int32_t c, int32_t d) const
    {
        return narrow_ ? InCircle<int64_t>(P(a), P(b), P(c), P(d)) : InCircle<Wide>(P(a), P(b), P(c), P(d));
    }

    // Points the neighbour across from `t` at `replacement` instead.
    void Repoint(int32_t neighbour, int32_t t, int32_t replacement)
    {
        if (neighbour < 0)
            return;
        Triangle& n = triangles_[static_cast<std::size_t>(neighbour)];
        for (int k = 0; k < 3; ++k)
            if (n.n[k] == t)
                n.n[k] = replacement;
    }

    int32_t NewTriangle()
    {
        triangles_.push_back({});
        return static_cast<int32_t>(triangles_.size() - 1);
    }

    void Set(int32_t t, int32_t a, int32_t b, int32_t c, int32_t nab, int32_t nbc, int32_t nca)
    {
        Triangle& tri = triangles_[static_cast<std::size_t>(t)];
        tri.v[0] = a, tri.v[1] = b, tri.v[2] = c;
        tri.n[0] = nab, tri.n[1] = nbc, tri.n[2] = nca;
        touched_.push_back(t);
    }

    void Insert(int32_t t, int32_t gridPoint)
    {
        const int32_t p = static_cast<int32_t>(corners_.size());
        corners_.push_back(CornerOf(gridPoint, width_));
        const Point pp = P(p);
        const Triangle tri = triangles_[static_cast<std::size_t>(t)];
        int onEdge = -1;
        for (int k = 0; k < 3; ++k)
            if (Orient(P(tri.v[k]), P(tri.v[(k + 1) % 3]), pp) == 0)
                onEdge = k;
        if (onEdge < 0) {
            const int32_t a = tri.v[0], b = tri.v[1], c = tri.v[2];
            const int32_t nab = tri.n[0], nbc = tri.n[1], nca = tri.n[2];
            const int32_t t1 = NewTriangle(), t2 = NewTriangle();
            Set(t, a, b, p, nab, t1, t2);
            Set(t1, b, c, p, nbc, t2, t);
            Set(t2, c, a, p, nca, t, t1);
            Repoint(nbc, t, t1);
            Repoint(nca, t, t2);
            pending_.insert(pending_.end(), {{t, 0}, {t1, 0}, {t2, 0}});
        } else {
            // p splits edge (a, b) of t = (a, b, c), and of u = (b, a, d) across it.
            const int32_t a = tri.v[onEdge], b = tri.v[(onEdge + 1) % 3], c = tri.v[(onEdge + 2) % 3];
            const int32_t nbc = tri.n[(onEdge + 1) % 3], nca = tri.n[(onEdge + 2) % 3];
            const int32_t u = tri.n[onEdge];
            const int32_t t1 = NewTriangle();
            if (u < 0) {
                Set(t, c, a, p, nca, -1, t1);
                Set(t1, b, c, p, nbc, t, -1);
                Repoint(nbc, t, t1);
                pending_.insert(pending_.end(), {{t, 0}, {t1, 0}});
            } else {
                const Triangle ut = triangles_[static_cast<std::size_t>(u)];
                int ue = 0;
                while (ut.n[ue] != t)
                    ++ue;
                const int32_t d = ut.v[(ue + 2) % 3];
                const int32_t nad = ut.n[(ue + 1) % 3], ndb = ut.n[(ue + 2) % 3];
                const int32_t u1 = NewTriangle();
                Set(t, c, a, p, nca, u, t1);
                Set(t1, b, c, p, nbc, t, u1);
                Set(u, a, d, p, nad, u1, t);
                Set(u1, d, b, p, ndb, t1, u);
                Repoint(nbc, t, t1);
                Repoint(ndb, u, u1);
                pending_.insert(pending_.end(), {{t, 0}, {t1, 0}, {u, 0}, {u1, 0}});
            }
        }
        Legalize();
        // Each changed triangle once, in the order first changed.
        if (touched_.size() <= 64) {
            for (std::size_t k = 0; k < touched_.size(); ++k)
                if (std::find(touched_.begin(), touched_.begin() + static_cast<std::ptrdiff_t>(k), touched_[k]) ==
                    touched_.begin() + static_cast<std::ptrdiff_t>(k))
                    Rescan(touched_[k]);
        } else {
            ++generation_;
            if (seen_.size() < triangles_.size())
                seen_.resize(triangles_.size() + triangles_.size() / 2, 0);
            for (const int32_t changed : touched_) {
                if (seen_[static_cast<std::size_t>(changed)] == generation_)
                    continue;
                seen_[static_cast<std::size_t>(changed)] = generation_;
                Rescan(changed);
            }
        }
        touched_.clear();
    }

    // Flips pending edges that are not locally Delaunay, and the edges that
    // flips expose, until none is left. The outline has no triangle across
    // and is never flipped.
    void Legalize()
    {
        while (!pending_.empty()) {
            const auto [t, k] = pending_.back();
            pending_.pop_back();
            const Triangle tri = triangles_[static_cast<std::size_t>(t)];
            const int32_t n = tri.n[k];
            if (n < 0)
                continue;
            const Triangle nt = triangles_[static_cast<std::size_t>(n)];
            int ne = 0;
            while (ne < 3 && nt.n[ne] != t)
                ++ne;
            if (ne == 3)
                continue;
            const int32_t a = tri.v[k], b = tri.v[(k + 1) % 3], c = tri.v[(k + 2) % 3];
            const int32_t d = nt.v[(ne + 2) % 3];
            if (!CircleHolds(a, b, c, d))
                continue;
            // Flip (a, b) to (c, d): t = (a, d, c), n = (d, b, c).
            const int32_t tbc = tri.n[(k + 1) % 3], tca = tri.n[(k + 2) % 3];
            const int32_t nad = nt.n[(ne + 1) % 3], ndb = nt.n[(ne + 2) % 3];
            Set(t, a, d, c, nad, n, tca);
            Set(n, d, b, c, ndb, tbc, t);
            Repoint(nad, n, t);
            Repoint(tbc, t, n);
            pending_.push_back({t, 0});
            pending_.push_back({n, 0});
        }
    }

    // Finds the triangle's worst grid point and queues it. Points on a locked
    // border (the triangle's extreme rows or columns) are already within the
    // bound and are left out.
    void Rescan(int32_t t)
    {
        const Triangle& tri = triangles_[static_cast<std::size_t>(t)];
        const Corner& a = corners_[static_cast<std::size_t>(tri.v[0])];
        const Corner& b = corners_[static_cast<std::size_t>(tri.v[1])];
        const Corner& c = corners_[static_cast<std::size_t>(tri.v[2])];
        const Worst worst = scan_(a, b, c, heights_, width_, locked_);
        Triangle& record = triangles_[static_cast<std::size_t>(t)];
        record.candidate = worst.point;
        ++record.stamp;
        // A vertex of the triangle is never worth inserting.
        if (worst.point < 0 || worst.point == a.id || worst.point == b.id || worst.point == c.id)
            return;
        queue_.push(worst.error, {t, record.stamp});
    }

    TileHeights heights_;  // the vertices' heights over the tile
    int32_t width_;
    bool narrow_;
    Locked locked_;
    TriangleScan scan_;
    std::vector<Corner> corners_;
    std::vector<Triangle> triangles_;
    std::vector<uint32_t> seen_;
    uint32_t generation_ = 0;
    WorstFirst queue_;
    std::vector<std::pair<int32_t, int>> pending_;
    std::vector<int32_t> touched_;
};

// Splits a line of grid points between consecutive marked points, where
// the line borders kept cells, at its farthest point from the chord until
// every point lies within the bound: the line simplified on its own, from
// nothing but its heights and the cells along it, so that both sides of it
// choose the same points. `point(t)` is the grid index of the line's point t
// and `active(t)` whether the segment from t to t + 1 borders a kept cell.
template <class PointOf, class Active>
void SplitLine(std::span<const float> heights, int32_t length, const PointOf& point, const Active& active,
               double maxError, PointMarks& marks)
{
    std::vector<std::pair<int32_t, int32_t>> stack;
    int32_t last = -1;
    for (int32_t t = 0; t < length; ++t) {
        if (!marks[point(t)])
            continue;
        if (last >= 0 && t - last > 1 && active(last))
            stack.push_back({last, t});
        while (!stack.empty()) {
            const auto [a, b] = stack.back();
            stack.pop_back();
            const double za = heights[point(a)], zb = heights[point(b)];
            double worst = -1.0;
            int32_t at = -1;
            for (int32_t s = a + 1; s < b; ++s) {
                const double f = static_cast<double>(s - a) / static_cast<double>(b - a);
                const double e = std::fabs(za + (zb - za) * f - static_cast<double>(heights[point(s)]));
                if (e > worst) {
                    worst = e;
                    at = s;
                }
            }
            if (at < 0 || worst <= maxError)
                continue;
            marks.Set(point(at));
            stack.push_back({a, at});
            stack.push_back({at, b});
        }
        last = t;
    }
}

// Marks the points of one tile border line that its two sides share, beyond
// the rectangle corners already marked.
void SimplifyBorderLine(std::span<const float> heights, CellMaskView cellMask, int32_t width, int32_t height,
                        bool vertical, int32_t line, double maxError, PointMarks& marks)
{
    const int32_t columns = width - 1;
    const int32_t length = vertical ? height : width;
    const auto point = [&](int32_t t) {
        return vertical ? static_cast<std::size_t>(t) * width + line : static_cast<std::size_t>(line) * width + t;
    };
    const auto kept = [&](int32_t c, int32_t r) {
        return c >= 0 && r >= 0 && c < columns && r < height - 1 &&
               cellMask.Kept(static_cast<std::size_t>(r) * columns + c);
    };
    // Whether the segment from t to t + 1 borders a kept cell.
    const auto active = [&](int32_t t) {
        return vertical ? kept(line - 1, t) || kept(line, t) : kept(t, line - 1) || kept(t, line);
    };
    SplitLine(heights, length, point, active, maxError, marks);
}

// One of the grid's own four edges, shared with a neighbouring grid: its
// points, the cells along it on this side and on the other.
struct GridEdge {
    int32_t first;             // grid index of its point 0
    int32_t step;              // from one point to the next
    int32_t inward;            // from a point to the one a row or column inside
    int32_t cells;             // cells along it
    CellMaskView insideCells;  // this grid's cells, those along it from `insideFirst`, `insideStride` apart
    std::size_t insideFirst, insideStride;
    std::span<const uint8_t> beyond;  // the neighbour's cells along it
    bool Inside(int32_t t) const
    {
        return t >= 0 && t < cells && insideCells.Kept(insideFirst + static_cast<std::size_t>(t) * insideStride);
    }
    bool Beyond(int32_t t) const { return t >= 0 && t < cells && (beyond[static_cast<std::size_t>(t)] & 1); }
    int32_t Point(int32_t t) const { return first + t * step; }
};

std::array<GridEdge, 4> GridEdges(const SimplifyRequest& request)
{
    const int32_t width = request.width, height = request.height, columns = width - 1, rows = height - 1;
    const SharedEdges& shared = *request.sharedEdges;
    const CellMaskView cells = request.cellMask;
    const std::size_t lastRow = static_cast<std::size_t>(rows - 1) * columns;
    const auto stride = static_cast<std::size_t>(columns);
    return {{
        {0, 1, width, columns, cells, 0, 1, shared.beyondFirstRow},
        {rows * width, 1, -width, columns, cells, lastRow, 1, shared.beyondLastRow},
        {0, width, 1, rows, cells, 0, stride, shared.beyondFirstColumn},
        {columns, width, -1, rows, cells, stride - 1, stride, shared.beyondLastColumn},
    }};
}

// The points of a shared edge that both grids along it keep, from what both
// see alike: its ends, where the cells on either side start or stop being
// kept, and the line simplified between those to the bound.
void MarkSharedEdge(std::span<const float> heights, const GridEdge& edge, double maxError, PointMarks& marks)
{
    const auto point = [&](int32_t t) { return static_cast<std::size_t>(edge.Point(t)); };
    marks.Set(point(0));
    marks.Set(point(edge.cells));
    for (int32_t t = 1; t < edge.cells; ++t)
        if (edge.Inside(t - 1) != edge.Inside(t) || edge.Beyond(t - 1) != edge.Beyond(t))
            marks.Set(point(t));
    SplitLine(
        heights, edge.cells + 1, point, [&](int32_t t) { return edge.Inside(t) || edge.Beyond(t); }, maxError, marks);
}

// Triangles between two chains of grid points, `bottom` along an edge and
// `top` along the line one step inside, each point given with its place
// along the edge: each triangle takes the next point of the chain whose
// next point comes first.
using ChainPoint = std::pair<int32_t, int32_t>;  // place along the edge, grid index
void Zip(std::span<const ChainPoint> bottom, std::span<const ChainPoint> top, int32_t width,
         std::vector<int32_t>& triangles)
{
    const auto emit = [&](int32_t a, int32_t b, int32_t c) {
        // Counter-clockwise in (column, row), as TriangulateRects makes them.
        if (Orient(PointOf(a, width), PointOf(b, width), PointOf(c, width)) < 0)
            std::swap(b, c);
        triangles.insert(triangles.end(), {a, b, c});
    };
    std::size_t i = 0, j = 0;
    while (i + 1 < bottom.size() || j + 1 < top.size()) {
        if (j + 1 >= top.size() || (i + 1 < bottom.size() && bottom[i + 1].first <= top[j + 1].first)) {
            emit(bottom[i].second, bottom[i + 1].second, top[j].second);
            ++i;
        } else {
            emit(bottom[i].second, top[j + 1].second, top[j].second);
            ++j;
        }
    }
}

// The kept cells of a grid whose edges are shared, as triangles over marked
// points, so that no point of an edge but the shared marks is a vertex: the
// inner cells by rectangles, each run of kept cells along an edge by a strip
// zipped between the edge's marks and the marks one line inside, the corner
// cells cut along their diagonal between the two strips through them.
void TriangulateWithSharedEdges(const SimplifyRequest& request, PointMarks& marks, std::vector<int32_t>& triangles)
{
    const int32_t width = request.width, columns = width - 1, rows = request.height - 1;
    std::vector<CellRect> inner;
    if (columns > 2 && rows > 2)
        cover::CoverArea(request.cellMask, columns, {1, 1, columns - 1, rows - 1}, inner);
    for (const CellRect& q : inner)
        for (const int32_t r : {q.row0, q.row1})
            for (const int32_t c : {q.column0, q.column1})
                marks.Set(static_cast<std::size_t>(r) * width + c);
    const std::array<GridEdge, 4> edges = GridEdges(request);
    // The strips' inner ends are vertices of both the strip and what lies
    // beside it.
    struct Strip {
        const GridEdge* edge;
        int32_t from, to;            // cells [from, to) along the edge
        int32_t innerFrom, innerTo;  // its points one line inside
    };
    std::vector<Strip> strips;
    for (const GridEdge& edge : edges) {
        for (int32_t t = 0; t < edge.cells;) {
            if (!edge.Inside(t)) {
                ++t;
                continue;
            }
            int32_t end = t;
            while (end < edge.cells && edge.Inside(end))
                ++end;
            // At a grid corner the strip's inner line starts one point in.
            const Strip strip{&edge, t, end, t == 0 ? 1 : t, end == edge.cells ? edge.cells - 1 : end};
            marks.Set(static_cast<std::size_t>(edge.Point(strip.innerFrom) + edge.inward));
            marks.Set(static_cast<std::size_t>(edge.Point(strip.innerTo) + edge.inward));
            strips.push_back(strip);
            t = end;
        }
    }
    TriangulateRects(inner, marks, width, triangles);
    std::vector<ChainPoint> bottom, top;
    for (const Strip& strip : strips) {
        const GridEdge& edge = *strip.edge;
        bottom.clear(), top.clear();
        for (int32_t t = strip.from; t <= strip.to; ++t)
            if (marks[static_cast<std::size_t>(edge.Point(t))])
                bottom.push_back({t, edge.Point(t)});
        for (int32_t t = strip.innerFrom; t <= strip.innerTo; ++t)
            if (marks[static_cast<std::size_t>(edge.Point(t) + edge.inward)])
                top.push_back({t, edge.Point(t) + edge.inward});
        Zip(bottom, top, width, triangles);
    }
}

// Simplifies the border lines between tiles of `tileCells` into `marks`;
// returns the points along them.
int64_t SimplifyTileBorders(const SimplifyRequest& request, int32_t tileCells, double borderError, PointMarks& marks)
{
    const int32_t width = request.width, height = request.height, columns = width - 1, rows = height - 1;
    int64_t points = 0;
    for (int32_t c = tileCells; c < columns; c += tileCells) {
        SimplifyBorderLine(request.heights, request.cellMask, width, height, true, c, borderError, marks);
        points += height;
    }
    for (int32_t r = tileCells; r < rows; r += tileCells) {
        SimplifyBorderLine(request.heights, request.cellMask, width, height, false, r, borderError, marks);
        points += width;
    }
    return points;
}

// The share of the points of the border lines of tiles of `tileCells` that
// the lines keep when simplified on their own, as they would be: 0 for a
// grid within one tile, which has none.
double BorderLineShare(const SimplifyRequest& request, double borderError, int32_t tileCells)
{
    const int32_t width = request.width, height = request.height, columns = width - 1, rows = height - 1;
    if (columns <= tileCells && rows <= tileCells)
        return 0.0;
    PointMarks marks(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    // The tiles' corners, where the lines start and end.
    for (int32_t r = 0; r <= rows; r = r < rows ? std::min(rows, r + tileCells) : rows + 1)
        for (int32_t c = 0; c <= columns; c = c < columns ? std::min(columns, c + tileCells) : columns + 1)
            marks.Set(static_cast<std::size_t>(r) * width + c);
    const int64_t points = SimplifyTileBorders(request, tileCells, borderError, marks);
    return static_cast<double>(marks.Count()) / static_cast<double>(points);
}

// An estimate of a tile's cost: the triangles greedy insertion makes grow
// with the square root of the surface's curvature, here measured every
// eighth point as second differences over eight points.
double Roughness(std::span<const float> heights, int32_t width, const CellRect& q)
{
    constexpr int32_t step = 8;
    double sum = 0.0;
    for (int32_t r = q.row0 + step; r + step <= q.row1; r += step) {
        const float* row = heights.data() + static_cast<std::size_t>(r) * width;
        const float* up = row - static_cast<std::size_t>(step) * width;
        const float* down = row + static_cast<std::size_t>(step) * width;
        for (int32_t c = q.column0 + step; c + step <= q.column1; c += step) {
            const double h = row[c];
            const double xx = std::fabs(row[c - step] + row[c + step] - 2.0 * h);
            const double yy = std::fabs(up[c] + down[c] - 2.0 * h);
            sum += std::sqrt(std::max(xx, yy));
        }
    }
    return sum;
}

// The tile's triangles as grid points, three each facing the job's way, in
// vertex cache order: ordered over the tile's vertices numbered in the
// grid's order, as the job's numbers would number them.
void CacheOrderedTriangles(const Tin& tin, std::vector<uint32_t>& out)
{
    // Each vertex's grid point above its number, sorted: the vertices in
    // the grid's order.
    std::vector<uint64_t> byPoint(tin.vertexCount());
    for (std::size_t v = 0; v < byPoint.size(); ++v)
        byPoint[v] = uint64_t{static_cast<uint32_t>(tin.GridPoint(static_cast<int32_t>(v)))} << 32 | v;
    std::sort(byPoint.begin(), byPoint.end());
    std::vector<uint32_t> rank(byPoint.size());
    for (std::size_t r = 0; r < byPoint.size(); ++r)
        rank[static_cast<uint32_t>(byPoint[r])] = static_cast<uint32_t>(r);
    out.resize(3 * tin.triangleCount());
    for (std::size_t t = 0; t < tin.triangleCount(); ++t)
        for (int k = 0; k < 3; ++k)
            out[3 * t + static_cast<std::size_t>(k)] = rank[static_cast<std::size_t>(tin.Vertex(t, (3 - k) % 3))];
    OrderRunForVertexCache(out);
    for (uint32_t& v : out)
        v = static_cast<uint32_t>(byPoint[v] >> 32);
}

}  // namespace

SimplifiedMesh Simplify(const SimplifyRequest& request)
{
    const int32_t width = request.width, height = request.height;
    const int32_t columns = width - 1, rows = height - 1;
    const double maxError = request.maxError >= 0.0 ? request.maxError : -1.0;
    // A triangle budget is a global order of insertions, and a grid whose
    // edges are shared is one tile of a larger surface already: one tile.
    const bool shared = request.sharedEdges != nullptr;
    const bool tiled = request.maxTriangles == 0 && maxError >= 0.0 && !shared;
    // Tile borders, a hair inside the bound so that rounding cannot push a
    // border point past it.
    const double borderError = maxError * (1.0 - 1e-7);
    const double share = tiled ? BorderLineShare(request, borderError, kTileCells) : 0.0;
    const bool oneTile = tiled && columns <= kOneTileCells && rows <= kOneTileCells && share < kDenseLineShare;
    int32_t tileCells = !tiled ? 0 : oneTile ? kOneTileCells : kTileCells;
    for (const TileStep& step : kDenseTiles)
        if (tiled && share >= step.lineShare) {
            tileCells = step.cells;
            break;
        }
    const std::vector<CellRect> tiles = cover::Tiles(columns, rows, tileCells);

    const unsigned threads = std::max(1u, std::min<unsigned>(request.threads, static_cast<unsigned>(tiles.size())));
    // Each tile's kept cells as rectangles, on all threads.
    std::vector<std::vector<CellRect>> tileRects(tiles.size());
    std::vector<double> cost(tiles.size(), 0.0);
    ForEachIndex(static_cast<int64_t>(tiles.size()), threads, [&](int64_t i) {
        const CellRect& q = tiles[i];
        cost[i] = Roughness(request.heights, width, q);
        bool allKept = true;
        for (int32_t r = q.row0; r < q.row1 && allKept && !request.cellMask.everyCell(); ++r) {
            const uint8_t* cells = request.cellMask.bytes().data() + static_cast<std::size_t>(r) * columns;
            uint8_t all = 1;
            for (int32_t c = q.column0; c < q.column1; ++c)
                all &= cells[c];
            allKept = all & 1;
        }
        if (allKept) {
            tileRects[i].push_back(q);
            return;
        }
        cover::CoverArea(request.cellMask, columns, q, tileRects[i]);
    });
    PointMarks marks(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    // A grid whose edges are shared and which drops cells is triangulated
    // from its own cover, which keeps rectangle corners off the edges.
    const bool wholeGrid = tileRects[0].size() == 1 && tileRects[0][0].column0 == 0 && tileRects[0][0].row0 == 0 &&
                           tileRects[0][0].column1 == columns && tileRects[0][0].row1 == rows;
    const bool ownCover = shared && !wholeGrid;
    for (const std::vector<CellRect>& list : tileRects)
        if (!ownCover)
            for (const CellRect& q : list)
                for (const int32_t r : {q.row0, q.row1})
                    for (const int32_t c : {q.column0, q.column1})
                        marks.Set(static_cast<std::size_t>(r) * width + c);
    if (tiled)
        SimplifyTileBorders(request, tileCells, borderError, marks);
    // The grid's own edges, when shared, from what both sides see; a grid
    // with dropped cells is then triangulated so that its edges keep only
    // those points.
    std::vector<int32_t> sharedCorners;
    if (shared) {
        for (const GridEdge& edge : GridEdges(request))
            MarkSharedEdge(request.heights, edge, std::max(borderError, 0.0), marks);
        if (ownCover)
            TriangulateWithSharedEdges(request, marks, sharedCorners);
    }

    // Each tile on its own: its triangles as grid points, three each and
    // facing the job's way, and its part of the kept region's outline.
    std::vector<std::vector<uint32_t>> tileTriangles(tiles.size());
    std::vector<std::vector<int32_t>> tileOutlines(tiles.size());
    const auto kept = [&](int64_t c, int64_t r) {
        return c >= 0 && r >= 0 && c < columns && r < rows &&
               request.cellMask.Kept(static_cast<std::size_t>(r * columns + c));
    };
    // Coordinate differences up to 2^14 keep the circle test in 64 bits.
    const bool narrow = std::max(width, height) <= (1 << 14);
    // The costliest tiles first, so that the threads finish together.
    std::vector<std::size_t> order(tiles.size());
    for (std::size_t i = 0; i < tiles.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
    ForEachIndex(static_cast<int64_t>(tiles.size()), threads, [&, corners = std::vector<int32_t>()](int64_t k) mutable {
        const std::size_t i = order[k];
        corners.clear();
        if (!sharedCorners.empty())
            corners.swap(sharedCorners);
        else
            TriangulateRects(tileRects[i], marks, width, corners);
        if (corners.empty())
            return;
        Tin tin(request.heights, width, tiles[i], columns, rows, narrow, request.scanLanes, shared);
        tin.Build(corners);
        tin.Refine(std::max(maxError, 0.0), request.maxTriangles);
        std::vector<uint32_t>& out = tileTriangles[i];
        if (request.orderTilesForGpu) {
            CacheOrderedTriangles(tin, out);
        } else {
            out.reserve(3 * tin.triangleCount());
            for (std::size_t t = 0; t < tin.triangleCount(); ++t)
                for (const int corner : {0, 2, 1})
                    out.push_back(static_cast<uint32_t>(tin.GridVertex(t, corner)));
        }
        std::vector<int32_t>& outline = tileOutlines[i];
        for (std::size_t t = 0; t < tin.triangleCount(); ++t) {
            for (int e = 0; e < 3; ++e) {
                if (!tin.OnOutline(t, e))
                    continue;
                const int32_t a = tin.GridVertex(t, e), b = tin.GridVertex(t, (e + 1) % 3);
                // An edge on a tile border with a kept cell beyond it is
                // inside the mesh. The triangle lies on the left of a -> b.
                const Point pa = PointOf(a, width), pb = PointOf(b, width);
                int64_t outsideColumn = 0, outsideRow = 0;
                if (pa.y == pb.y) {
                    outsideColumn = std::min(pa.x, pb.x);
                    outsideRow = pb.x > pa.x ? pa.y - 1 : pa.y;
                } else {
                    outsideRow = std::min(pa.y, pb.y);
                    outsideColumn = pb.y > pa.y ? pa.x : pa.x - 1;
                }
                if (!kept(outsideColumn, outsideRow))
                    outline.insert(outline.end(), {b, a});
            }
        }
    });

    // Vertices in the job's order. The vertices used are bits of the grid;
    // a vertex's index is the count of bits before it.
    marks = {};
    std::vector<uint64_t> used((static_cast<std::size_t>(width) * static_cast<std::size_t>(height) + 63) / 64, 0);
    std::size_t indexCount = 0, outlineCount = 0;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        for (const uint32_t v : tileTriangles[i])
            used[v / 64] |= uint64_t{1} << (v % 64);
        indexCount += tileTriangles[i].size();
        outlineCount += tileOutlines[i].size();
    }
    SimplifiedMesh mesh;
    std::vector<uint32_t> before(used.size());
    uint32_t count = 0;
    for (std::size_t w = 0; w < used.size(); ++w) {
        before[w] = count;
        count += static_cast<uint32_t>(__builtin_popcountll(used[w]));
    }
    mesh.sourceVertices.reserve(count);
    for (std::size_t w = 0; w < used.size(); ++w)
        for (uint64_t bits = used[w]; bits != 0; bits &= bits - 1)
            mesh.sourceVertices.push_back(
                static_cast<int32_t>(w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))));
    const auto remap = [&](uint32_t v) {
        return before[v / 64] +
               static_cast<uint32_t>(__builtin_popcountll(used[v / 64] & ((uint64_t{1} << (v % 64)) - 1)));
    };
    // The tiles' triangles and outlines in tile order, each tile's freed
    // once taken.
    mesh.indices.reserve(indexCount);
    mesh.boundaryEdges.reserve(outlineCount);
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        if (!tileTriangles[i].empty())
            mesh.tileRuns.push_back(mesh.indices.size() / 3);
        for (const uint32_t g : tileTriangles[i])
            mesh.indices.push_back(remap(g));
        mesh.boundaryEdges.insert(mesh.boundaryEdges.end(), tileOutlines[i].begin(), tileOutlines[i].end());
        tileTriangles[i] = {};
        tileOutlines[i] = {};
    }
    return mesh;
}

}  // namespace heightmesh::tool
