#include "streamed_mesh.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <vector>

#include <fmt/format.h>
#include <jobhost/jobhost.h>

#include "file_io.h"
#include "mesh_records.h"
#include "parallel.h"
#include "tool_error.h"

namespace heightmesh::tool {

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Grid points per band: enough that a band keeps every worker busy and its
// writes are megabytes long, few enough that its buffers stay small.
constexpr int64_t kBandPoints = int64_t{1} << 18;

// Thrown inside the streamed road when the job's output is not what the
// road lays the file out for; the full road then takes over.
struct Declined {};

bool Finite(const HeightmeshFloat3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Position bounds folded in vertex order, exactly as KeptMesh folds them
// (the first of equal values wins, so -0 and +0 stay as they come).
struct Bounds {
    HeightmeshFloat3 low{0, 0, 0}, high{0, 0, 0};
    bool any = false;

    void Add(const HeightmeshFloat3& p) {
        if (!any) {
            low = high = p;
            any = true;
            return;
        }
        low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
    }
};

bool SameBits(const HeightmeshFloat3& a, const HeightmeshFloat3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The bounds the job's positions will have: x = column * scale.x, y =
// height * scale.y, z = row * scale.z, folded in vertex order. Used only to
// size the .glb's document before the job runs; the bounds of what the job
// writes are folded as it comes and the document is made from those. Sets
// `finite` false when some y is not finite (the full road reports that).
Bounds PredictBounds(const MeshRequest& request, unsigned threads, bool& finite) {
    const int32_t width = request.width, height = request.height;
    // Each component folds on its own: x takes row 0's values again in every
    // row and z one value per row, and a repeated value never changes a fold.
    Bounds bounds;
    for (int32_t x = 0; x < width; ++x) bounds.Add(HeightmeshFloat3{static_cast<float>(x) * request.scale.x, 0.0f, 0.0f});
    Bounds zs;
    for (int32_t z = 0; z < height; ++z) zs.Add(HeightmeshFloat3{0.0f, 0.0f, static_cast<float>(z) * request.scale.z});
    bounds.low.z = zs.low.z;
    bounds.high.z = zs.high.z;
    struct Part {
        float low = 0, high = 0;
        bool any = false, finite = true;
    };
    std::vector<Part> parts(ThreadCount(threads));
    const int64_t points = int64_t{width} * height;
    ParallelRanges(points, static_cast<unsigned>(parts.size()), [&](int64_t begin, int64_t end, unsigned part) {
        Part& p = parts[part];
        for (int64_t i = begin; i < end; ++i) {
            const float y = request.heights[static_cast<std::size_t>(i)] * request.scale.y;
            if (!std::isfinite(y)) {
                p.finite = false;
                return;
            }
            if (!p.any) {
                p.low = p.high = y;
                p.any = true;
            } else {
                p.low = std::min(p.low, y);
                p.high = std::max(p.high, y);
            }
        }
    });
    finite = true;
    bool any = false;
    for (const Part& p : parts) {
        finite = finite && p.finite;
        if (!p.any) continue;
        bounds.low.y = any ? std::min(bounds.low.y, p.low) : p.low;
        bounds.high.y = any ? std::max(bounds.high.y, p.high) : p.high;
        any = true;
    }
    return bounds;
}

void TurnZUp(std::span<HeightmeshFloat3> points) {
    for (HeightmeshFloat3& p : points) p = HeightmeshFloat3{p.x, -p.z, p.y};
}

// One band's buffers: the job's outputs for rows [rowBegin, rowsRun) and
// the records packed from them. Rows [rowBegin, rowEnd) are the band's
// own; an STL band runs one row more, whose positions its last cells use.
struct Band {
    jobhost::HostVector<HeightmeshFloat3> vertices, normals;
    jobhost::HostVector<HeightmeshFloat2> uvs;
    jobhost::HostVector<int32_t> triangles;
    std::vector<char> packed;
    int32_t rowBegin = 0, rowEnd = 0, rowsRun = 0;
};

class BandWriter {
public:
    BandWriter(const MeshRequest& request, const StreamedMeshFile& options, AtomicFile& file, uint64_t dataAt,
               const GltfLayout& layout)
        : request_(request), options_(options), file_(file), dataAt_(dataAt), layout_(layout) {}

    // Checks the band's values and writes its part of the file; throws
    // Declined when the values are not what the layout assumes.
    void Write(Band& band) {
        const int32_t width = request_.width, height = request_.height;
        const int64_t firstPoint = int64_t{band.rowBegin} * width;
        const auto ownPoints = static_cast<std::size_t>(int64_t{band.rowEnd - band.rowBegin} * width);
        const auto runPoints = static_cast<std::size_t>(int64_t{band.rowsRun - band.rowBegin} * width);
        const int64_t cellRows = std::max(0, std::min(band.rowEnd, height - 1) - band.rowBegin);
        const int64_t firstCell = int64_t{band.rowBegin} * (width - 1);
        const auto cells = static_cast<std::size_t>(cellRows * (width - 1));

        // Each cell holds its own two triangles, as a correct job writes them
        // for a kept cell: then every index names a vertex and every vertex is
        // used, and the written indices are the job's.
        const int32_t* t = band.triangles.data();
        for (int64_t z = 0; z < cellRows; ++z) {
            int64_t p = firstPoint + z * width;
            for (int32_t x = 0; x + 1 < width; ++x, ++p, t += 6)
                if (t[0] != p || t[1] != p + width + 1 || t[2] != p + 1 || t[3] != p || t[4] != p + width ||
                    t[5] != p + width + 1)
                    throw Declined{};
        }
        for (std::size_t i = 0; i < ownPoints; ++i)
            if (!Finite(band.vertices[i]) || !Finite(band.normals[i]) || !std::isfinite(band.uvs[i].x) ||
                !std::isfinite(band.uvs[i].y))
                throw Declined{};

        if (options_.zUp) {
            TurnZUp(std::span(band.vertices).first(runPoints));
            TurnZUp(std::span(band.normals).first(runPoints));
        }
        const auto at = [](int64_t index, std::size_t bytes) { return static_cast<uint64_t>(index) * bytes; };
        switch (options_.format) {
            case MeshFormat::Glb: {
                for (std::size_t i = 0; i < ownPoints; ++i) bounds_.Add(band.vertices[i]);
                file_.WriteAt(dataAt_ + at(firstPoint, 12), band.vertices.data(), ownPoints * 12);
                file_.WriteAt(dataAt_ + layout_.normalsAt() + at(firstPoint, 12), band.normals.data(), ownPoints * 12);
                file_.WriteAt(dataAt_ + layout_.uvsAt() + at(firstPoint, 8), band.uvs.data(), ownPoints * 8);
                const uint64_t indicesAt = dataAt_ + layout_.indicesAt();
                if (layout_.shortIndices) {
                    band.packed.resize(6 * cells * 2);
                    for (std::size_t i = 0; i < 6 * cells; ++i) {
                        const auto index = static_cast<uint16_t>(band.triangles[i]);
                        std::memcpy(band.packed.data() + 2 * i, &index, 2);
                    }
                    file_.WriteAt(indicesAt + at(6 * firstCell, 2), band.packed.data(), band.packed.size());
                } else {
                    file_.WriteAt(indicesAt + at(6 * firstCell, 4), band.triangles.data(), 6 * cells * 4);
                }
                break;
            }
            case MeshFormat::Ply: {
                band.packed.resize(std::max(ownPoints * kPlyVertexBytes, 2 * cells * kPlyFaceBytes));
                char* to = band.packed.data();
                for (std::size_t i = 0; i < ownPoints; ++i, to += kPlyVertexBytes)
                    PackPlyVertex(band.vertices[i], band.normals[i], band.uvs[i], to);
                file_.WriteAt(dataAt_ + at(firstPoint, kPlyVertexBytes), band.packed.data(), ownPoints * kPlyVertexBytes);
                to = band.packed.data();
                for (std::size_t k = 0; k < 6 * cells; k += 3, to += kPlyFaceBytes)
                    PackPlyFace(static_cast<uint32_t>(band.triangles[k]), static_cast<uint32_t>(band.triangles[k + 1]),
                                static_cast<uint32_t>(band.triangles[k + 2]), to);
                const uint64_t facesAt = dataAt_ + at(int64_t{width} * height, kPlyVertexBytes);
                file_.WriteAt(facesAt + at(2 * firstCell, kPlyFaceBytes), band.packed.data(), 2 * cells * kPlyFaceBytes);
                break;
            }
            case MeshFormat::Stl: {
                band.packed.resize(2 * cells * kStlFacetBytes);
                char* to = band.packed.data();
                const auto local = [&](int32_t index) -> const HeightmeshFloat3& {
                    return band.vertices[static_cast<std::size_t>(index - firstPoint)];
                };
                for (std::size_t k = 0; k < 6 * cells; k += 3, to += kStlFacetBytes)
                    PackStlFacet(local(band.triangles[k]), local(band.triangles[k + 1]), local(band.triangles[k + 2]), to);
                file_.WriteAt(dataAt_ + at(2 * firstCell, kStlFacetBytes), band.packed.data(), band.packed.size());
                break;
            }
            case MeshFormat::Obj:
            case MeshFormat::Gltf:
                throw Declined{};
        }
    }

    const Bounds& bounds() const noexcept { return bounds_; }

private:
    const MeshRequest& request_;
    const StreamedMeshFile& options_;
    AtomicFile& file_;
    uint64_t dataAt_;
    const GltfLayout& layout_;
    Bounds bounds_;
};

}  // namespace

bool StreamsFormat(MeshFormat format, bool asciiStl) {
    return format == MeshFormat::Glb || format == MeshFormat::Ply || (format == MeshFormat::Stl && !asciiStl);
}

bool StreamMeshFile(const MeshRequest& request, const BandMesher& bandMesher, const StreamedMeshFile& options,
                    ProgressLine& progress, StreamedMeshReport& report) {
    const int32_t width = request.width, height = request.height;
    if (!StreamsFormat(options.format, false) || width < 2 || height < 2) return false;
    const int64_t points = int64_t{width} * height;
    const int64_t cells = int64_t{width - 1} * (height - 1);
    if (request.cellMask.size() != static_cast<std::size_t>(cells) ||
        !std::all_of(request.cellMask.begin(), request.cellMask.end(), [](uint8_t m) { return (m & 1) != 0; }))
        return false;

    // The file's layout, and the bytes before the bands' data. A mesh the
    // format cannot hold is refused as the whole-mesh writers refuse it.
    GltfLayout layout;
    std::string prefix;
    Bounds predicted;
    try {
        switch (options.format) {
            case MeshFormat::Glb: {
                layout = GltfLayoutFor(points, 6 * cells, true);
                bool finite = true;
                predicted = PredictBounds(request, options.threads, finite);
                if (!finite) return false;
                prefix = GlbPrefix(layout, predicted.low, predicted.high);
                break;
            }
            case MeshFormat::Ply: prefix = PlyHeader(width, height, points, 2 * cells); break;
            case MeshFormat::Stl: {
                const std::array<char, kStlHeaderBytes> header = StlHeader(width, height, 2 * cells);
                prefix.assign(header.data(), header.size());
                break;
            }
            default: return false;
        }
    } catch (const ToolError& error) {
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(options.path), error.what()));
    }

    AtomicFile file(options.path);
    BandWriter writer(request, options, file, prefix.size(), layout);
    const bool extraRow = options.format == MeshFormat::Stl;
    const int32_t bandRows = static_cast<int32_t>(std::clamp<int64_t>(kBandPoints / width, 1, height));
    const auto bandPoints = static_cast<std::size_t>(int64_t{bandRows + (extraRow ? 1 : 0)} * width);
    std::array<Band, 2> bands;
    for (Band& band : bands) {
        band.vertices.resize(bandPoints);
        band.normals.resize(bandPoints);
        band.uvs.resize(bandPoints);
        band.triangles.resize(6 * bandPoints);
    }
    std::future<void> pending;
    const auto wait = [&] {
        if (pending.valid()) pending.get();
    };
    progress.Begin("writing mesh");
    try {
        int index = 0;
        for (int32_t r0 = 0; r0 < height; r0 += bandRows, ++index) {
            Band& band = bands[static_cast<std::size_t>(index % 2)];
            band.rowBegin = r0;
            band.rowEnd = std::min(height, r0 + bandRows);
            band.rowsRun = std::min(height, band.rowEnd + (extraRow ? 1 : 0));
            const auto runPoints = static_cast<std::size_t>(int64_t{band.rowsRun - r0} * width);
            const auto runCells = static_cast<std::size_t>(std::max(0, std::min(band.rowsRun, height - 1) - r0)) *
                                  static_cast<std::size_t>(width - 1);
            const jobhost::HeightfieldMeshBand spans{
                std::span(band.vertices).first(runPoints), std::span(band.uvs).first(runPoints),
                std::span(band.normals).first(runPoints), std::span(band.triangles).first(6 * runCells)};
            const Clock::time_point start = Clock::now();
            // The other band's write runs meanwhile.
            bandMesher(request, r0, band.rowsRun, spans, {});
            report.jobSeconds += SecondsSince(start);
            wait();
            pending = std::async(std::launch::async, [&writer, &band] { writer.Write(band); });
            progress.Update(static_cast<double>(r0) / height, file.bytesWritten());
        }
        wait();
        if (options.format == MeshFormat::Glb) {
            // The document from the bounds of what was written; its size was
            // fixed by the prediction, which holds for every correct job.
            if (!SameBits(writer.bounds().low, predicted.low) || !SameBits(writer.bounds().high, predicted.high)) {
                const std::string actual = GlbPrefix(layout, writer.bounds().low, writer.bounds().high);
                if (actual.size() != prefix.size()) throw Declined{};
                prefix = actual;
            }
            if (layout.binaryChunk > layout.total) {
                const char zeros[3] = {};
                file.WriteAt(prefix.size() + layout.total, zeros, static_cast<std::size_t>(layout.binaryChunk - layout.total));
            }
        }
        file.WriteAt(0, prefix.data(), prefix.size());
        file.Commit();
    } catch (const Declined&) {
        if (pending.valid()) pending.wait();
        progress.End();
        return false;
    } catch (const jobhost::JobError&) {
        if (pending.valid()) pending.wait();
        progress.End();
        return false;
    } catch (...) {
        if (pending.valid()) pending.wait();
        progress.End();
        throw;
    }
    progress.End();
    report.vertices = points;
    report.triangles = 2 * cells;
    report.cells = cells;
    return true;
}

}  // namespace heightmesh::tool
