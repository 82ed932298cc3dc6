#include "output/streamed_mesh.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <jobhost/jobhost.h>

#include "common/file_io.h"
#include "common/parallel.h"
#include "common/tool_error.h"
#include "mesh/grid_cells.h"
#include "output/mesh_records.h"

namespace heightmesh::tool {

namespace {

// Thrown inside the streamed road when the job's output is not what the
// road lays the file out for; the full road then takes over.
struct Declined {
    const char* reason;
};

bool SameBits(const HeightmeshFloat3& a, const HeightmeshFloat3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What the file holds, found from the mask (and for a .glb the heights)
// before the job runs: how many vertices and kept cells come before each
// row, and the bounds the written positions will have.
struct Survey {
    MaskSurvey mask;
    PositionBounds bounds;  // with `bounds`: of x = column * scale.x, y = height * scale.y, z = row * scale.z
    bool finite = true;     // with `bounds`: every written y is finite
};

// The bounds serve only to size the .glb's document before the job runs:
// the bounds of what the job writes are folded as it comes, and the
// document is made from those.
Survey SurveyGrid(const MeshRequest& request, unsigned threads, bool bounds)
{
    const int32_t width = request.width;
    struct alignas(64) Part {
        PositionBounds bounds;
        bool finite = true;
    };
    std::vector<Part> parts(ThreadCount(threads));
    Survey survey;
    survey.mask = SurveyMask(request.cellMask, width, request.height, parts, bounds,
                             [&](Part& p, int32_t z, std::span<const uint8_t> corners) {
                                 const float rowZ = static_cast<float>(z) * request.scale.z;
                                 const float* row = request.heights.data() +
                                                    static_cast<std::size_t>(z) * static_cast<std::size_t>(width);
                                 for (int32_t x = 0; x < width; ++x) {
                                     if (!corners[static_cast<std::size_t>(x)])
                                         continue;
                                     const float y = row[x] * request.scale.y;
                                     if (!std::isfinite(y))
                                         p.finite = false;
                                     p.bounds.Add(HeightmeshFloat3{static_cast<float>(x) * request.scale.x, y, rowZ});
                                 }
                             });
    // Folded in order, as one pass over the vertices would.
    for (const Part& p : parts) {
        survey.finite = survey.finite && p.finite;
        survey.bounds.Add(p.bounds);
    }
    return survey;
}

// One band's buffers: the job's outputs for rows [rowBegin, rowsRun), the
// written number of each of its points and the records packed from them.
// Rows [rowBegin, rowEnd) are the band's own; an STL band runs one row
// more, whose positions its last cells use.
struct Band {
    MeshData job;
    std::vector<int64_t> written;  // own rows and the next: written index, or -1
    std::vector<uint8_t> corners;
    std::vector<char> packed;
    std::vector<uint8_t> ones;  // the mask of a band of a grid that keeps every cell
    int32_t rowBegin = 0, rowEnd = 0, rowsRun = 0;
};

class BandWriter {
public:
    BandWriter(const MeshRequest& request, const StreamedMeshFile& options, const MaskSurvey& survey, AtomicFile* file,
               uint64_t dataAt, const GltfLayout& layout)
        : request_(request), options_(options), survey_(survey), file_(file), dataAt_(dataAt), layout_(layout)
    {
    }

    // Checks the band's values and writes its part of the file; throws
    // Declined when the values are not what the layout assumes.
    void Write(Band& band)
    {
        const int32_t width = request_.width, height = request_.height;
        const int64_t firstPoint = int64_t{band.rowBegin} * width;
        const auto ownPoints = static_cast<std::size_t>(int64_t{band.rowEnd - band.rowBegin} * width);
        const auto runPoints = static_cast<std::size_t>(int64_t{band.rowsRun - band.rowBegin} * width);
        const int32_t cellRowEnd = std::min(band.rowEnd, height - 1);
        const int64_t cellRows = std::max(0, cellRowEnd - band.rowBegin);
        const std::size_t cells = static_cast<std::size_t>(cellRows * (width - 1));
        const uint8_t* mask =
            request_.cellMask.Bytes(static_cast<std::size_t>(band.rowBegin) * (width - 1), cells, band.ones).data();
        const int64_t firstVertex = survey_.vertexStart[static_cast<std::size_t>(band.rowBegin)];
        const int64_t vertices = survey_.vertexStart[static_cast<std::size_t>(band.rowEnd)] - firstVertex;
        const int64_t firstKept = survey_.cellStart[static_cast<std::size_t>(band.rowBegin)];
        const int64_t kept =
            cellRowEnd > band.rowBegin ? survey_.cellStart[static_cast<std::size_t>(cellRowEnd)] - firstKept : 0;

        // A kept cell holds its own two triangles and a masked one none, as
        // a correct job writes them: then every index names a vertex, the
        // written vertices are the kept cells' corners, and their numbers
        // follow from the mask.
        const int32_t* t = band.job.triangles.data();
        const CellOffsets offsets = JobCellOffsets(width);
        for (int64_t z = 0; z < cellRows; ++z) {
            int64_t p = firstPoint + z * width;
            for (int32_t x = 0; x + 1 < width; ++x, ++p, t += 6) {
                if (mask[z * (width - 1) + x] & 1) {
                    if (!HoldsOwnTriangles(t, p, offsets))
                        throw Declined{"a kept cell holds triangles other than its own two"};
                } else if (!KeptMesh::IsDegenerate(t[0], t[1], t[2]) || !KeptMesh::IsDegenerate(t[3], t[4], t[5])) {
                    throw Declined{"a masked cell holds a triangle"};
                }
            }
        }
        // The written number of every point of the band's rows and the next.
        const int32_t numberedEnd = std::min(height, band.rowEnd + 1);
        band.written.resize(static_cast<std::size_t>(int64_t{numberedEnd - band.rowBegin} * width));
        band.corners.resize(static_cast<std::size_t>(width));
        for (int32_t z = band.rowBegin; z < numberedEnd; ++z) {
            int64_t next = survey_.vertexStart[static_cast<std::size_t>(z)];
            int64_t* row = band.written.data() + static_cast<std::size_t>(int64_t{z - band.rowBegin} * width);
            if (survey_.everyCellKept()) {
                for (int32_t x = 0; x < width; ++x)
                    row[x] = next++;
                continue;
            }
            KeptCornersOfRow(request_.cellMask, width, height, z, band.corners);
            for (int32_t x = 0; x < width; ++x)
                row[x] = band.corners[static_cast<std::size_t>(x)] ? next++ : -1;
        }
        for (std::size_t i = 0; i < ownPoints; ++i)
            if (band.written[i] >= 0 && (!Finite(band.job.vertices[i]) || !Finite(band.job.normals[i]) ||
                                         !std::isfinite(band.job.uvs[i].x) || !std::isfinite(band.job.uvs[i].y)))
                throw Declined{"a written value is not finite"};

        if (options_.zUp) {
            TurnZUp(std::span(band.job.vertices).first(runPoints));
            TurnZUp(std::span(band.job.normals).first(runPoints));
        }
        // Calls each(k, local) for the band's own written vertices in order.
        const auto forWritten = [&](auto&& each) {
            for (std::size_t i = 0; i < ownPoints; ++i)
                if (band.written[i] >= 0)
                    each(band.written[i] - firstVertex, i);
        };
        // Calls each(j, a, b, c) for the band's kept triangles in order, with
        // written indices.
        const auto forTriangles = [&](auto&& each) {
            std::size_t j = 0;
            for (std::size_t k = 0; k < 6 * cells; k += 6) {
                if (!(mask[k / 6] & 1))
                    continue;
                for (std::size_t h = k; h < k + 6; h += 3, ++j) {
                    const auto number = [&](int32_t index) {
                        return static_cast<uint32_t>(band.written[static_cast<std::size_t>(index - firstPoint)]);
                    };
                    each(j, number(band.job.triangles[h]), number(band.job.triangles[h + 1]),
                         number(band.job.triangles[h + 2]), h);
                }
            }
        };
        const auto at = [](int64_t index, std::size_t bytes) { return static_cast<uint64_t>(index) * bytes; };
        const auto vertexCount = static_cast<std::size_t>(vertices);
        const auto triangleCount = static_cast<std::size_t>(2 * kept);
        switch (options_.format) {
        case MeshFormat::Glb: {
            const uint64_t positionsAt = dataAt_ + at(firstVertex, 12);
            const uint64_t normalsAt = dataAt_ + layout_.normalsAt() + at(firstVertex, 12);
            const uint64_t uvsAt = dataAt_ + layout_.uvsAt() + at(firstVertex, 8);
            const uint64_t indicesAt = dataAt_ + layout_.indicesAt() + at(6 * firstKept, layout_.shortIndices ? 2 : 4);
            if (survey_.everyCellKept()) {
                // The job's buffers hold the file's bytes as they are.
                for (std::size_t i = 0; i < ownPoints; ++i)
                    bounds_.Add(band.job.vertices[i]);
                Put(positionsAt, band.job.vertices.data(), ownPoints * 12);
                Put(normalsAt, band.job.normals.data(), ownPoints * 12);
                Put(uvsAt, band.job.uvs.data(), ownPoints * 8);
                if (!layout_.shortIndices) {
                    Put(indicesAt, band.job.triangles.data(), 6 * cells * 4);
                    break;
                }
            } else {
                band.packed.resize(vertexCount * 12);
                forWritten([&](int64_t k, std::size_t i) {
                    bounds_.Add(band.job.vertices[i]);
                    std::memcpy(band.packed.data() + 12 * k, &band.job.vertices[i], 12);
                });
                Put(positionsAt, band.packed.data(), vertexCount * 12);
                forWritten([&](int64_t k, std::size_t i) {
                    std::memcpy(band.packed.data() + 12 * k, &band.job.normals[i], 12);
                });
                Put(normalsAt, band.packed.data(), vertexCount * 12);
                forWritten(
                    [&](int64_t k, std::size_t i) { std::memcpy(band.packed.data() + 8 * k, &band.job.uvs[i], 8); });
                Put(uvsAt, band.packed.data(), vertexCount * 8);
            }
            const std::size_t indexBytes = layout_.shortIndices ? 2 : 4;
            band.packed.resize(3 * triangleCount * indexBytes);
            forTriangles([&](std::size_t j, uint32_t a, uint32_t b, uint32_t c, std::size_t) {
                char* to = band.packed.data() + 3 * j * indexBytes;
                if (layout_.shortIndices) {
                    const uint16_t triangle[3] = {static_cast<uint16_t>(a), static_cast<uint16_t>(b),
                                                  static_cast<uint16_t>(c)};
                    std::memcpy(to, triangle, 6);
                } else {
                    const uint32_t triangle[3] = {a, b, c};
                    std::memcpy(to, triangle, 12);
                }
            });
            Put(indicesAt, band.packed.data(), band.packed.size());
            break;
        }
        case MeshFormat::Ply: {
            band.packed.resize(std::max(vertexCount * kPlyVertexBytes, triangleCount * kPlyFaceBytes));
            forWritten([&](int64_t k, std::size_t i) {
                PackPlyVertex(band.job.vertices[i], band.job.normals[i], band.job.uvs[i],
                              band.packed.data() + static_cast<std::size_t>(k) * kPlyVertexBytes);
            });
            Put(dataAt_ + at(firstVertex, kPlyVertexBytes), band.packed.data(), vertexCount * kPlyVertexBytes);
            forTriangles([&](std::size_t j, uint32_t a, uint32_t b, uint32_t c, std::size_t) {
                PackPlyFace(a, b, c, band.packed.data() + j * kPlyFaceBytes);
            });
            const uint64_t facesAt = dataAt_ + at(survey_.vertexStart.back(), kPlyVertexBytes);
            Put(facesAt + at(2 * firstKept, kPlyFaceBytes), band.packed.data(), triangleCount * kPlyFaceBytes);
            break;
        }
        case MeshFormat::Stl: {
            band.packed.resize(triangleCount * kStlFacetBytes);
            const auto local = [&](int32_t index) -> const HeightmeshFloat3& {
                return band.job.vertices[static_cast<std::size_t>(index - firstPoint)];
            };
            forTriangles([&](std::size_t j, uint32_t, uint32_t, uint32_t, std::size_t h) {
                PackStlFacet(local(band.job.triangles[h]), local(band.job.triangles[h + 1]),
                             local(band.job.triangles[h + 2]), band.packed.data() + j * kStlFacetBytes);
            });
            Put(dataAt_ + at(2 * firstKept, kStlFacetBytes), band.packed.data(), band.packed.size());
            break;
        }
        case MeshFormat::Obj:
        case MeshFormat::Gltf: throw Declined{"a text format"};
        }
    }

    const PositionBounds& bounds() const noexcept { return bounds_; }

private:
    const MeshRequest& request_;
    const StreamedMeshFile& options_;
    const MaskSurvey& survey_;
    // Writes at `offset` of the file; without a file (a run that writes
    // none) the band is checked and packed all the same.
    void Put(uint64_t offset, const void* data, std::size_t size)
    {
        if (file_)
            file_->WriteAt(offset, data, size);
    }

    AtomicFile* file_;
    uint64_t dataAt_;
    const GltfLayout& layout_;
    PositionBounds bounds_;
};

}  // namespace

bool StreamsFormat(MeshFormat format, bool asciiStl)
{
    return format == MeshFormat::Glb || format == MeshFormat::Ply || (format == MeshFormat::Stl && !asciiStl);
}

bool StreamMeshFile(const MeshRequest& request, const BandMesher& bandMesher, const StreamedMeshFile& options,
                    ProgressLine& progress, StreamedMeshReport& report)
{
    const int32_t width = request.width, height = request.height;
    const auto decline = [&](const char* reason) {
        report.declined = reason;
        return false;
    };
    if (!StreamsFormat(options.format, false))
        return decline("a text format");
    if (width < 2 || height < 2)
        return decline("a grid smaller than 2 x 2");
    const int64_t cells = int64_t{width - 1} * (height - 1);
    if (request.cellMask.size() != static_cast<std::size_t>(cells))
        return decline("a cell mask of another size");
    const bool glb = options.format == MeshFormat::Glb;
    const Survey survey = SurveyGrid(request, options.threads, glb);
    const int64_t vertices = survey.mask.vertices();
    const int64_t keptCells = survey.mask.keptCells();
    if (keptCells == 0)
        return decline("no cell is kept");
    if (!survey.finite)
        return decline("a kept height times the y scale is not finite");

    // The file's layout, and the bytes before the bands' data. A mesh the
    // format cannot hold is refused as the whole-mesh writers refuse it.
    GltfLayout layout;
    std::string prefix;
    try {
        switch (options.format) {
        case MeshFormat::Glb:
            layout = GltfLayoutFor(vertices, 6 * keptCells, true);
            prefix = GlbPrefix(layout, survey.bounds.low, survey.bounds.high);
            break;
        case MeshFormat::Ply: prefix = PlyHeader(width, height, vertices, 2 * keptCells); break;
        case MeshFormat::Stl: {
            const std::array<char, kStlHeaderBytes> header = StlHeader(width, height, 2 * keptCells);
            prefix.assign(header.data(), header.size());
            break;
        }
        default: return decline("a text format");
        }
    } catch (const ToolError& error) {
        throw ToolError(fmt::format("cannot write {}: {}", Quoted(options.path), error.what()));
    }

    std::optional<AtomicFile> file;
    if (!options.path.empty())
        file.emplace(options.path);
    BandWriter writer(request, options, survey.mask, file ? &*file : nullptr, prefix.size(), layout);
    const bool extraRow = options.format == MeshFormat::Stl;
    const int32_t bandRows = BandRows(width, height);
    const auto bandPoints = static_cast<std::size_t>(int64_t{bandRows + (extraRow ? 1 : 0)} * width);
    std::array<Band, 2> bands;
    for (Band& band : bands)
        band.job = BandBuffers(bandPoints, 6 * bandPoints);
    std::future<void> pending;
    const auto wait = [&] {
        if (pending.valid())
            pending.get();
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
            const Clock::time_point start = Clock::now();
            // The other band's write runs meanwhile.
            bandMesher(request, r0, band.rowsRun, BandOf(band.job, runPoints, 6 * runCells), {});
            report.jobSeconds += SecondsSince(start);
            wait();
            pending = std::async(std::launch::async, [&writer, &band] { writer.Write(band); });
            progress.Update(static_cast<double>(r0) / height, file ? file->bytesWritten() : 0);
        }
        wait();
        if (options.format == MeshFormat::Glb) {
            // The document from the bounds of what was written; its size was
            // fixed by the prediction, which holds for every correct job.
            if (!SameBits(writer.bounds().low, survey.bounds.low) ||
                !SameBits(writer.bounds().high, survey.bounds.high)) {
                const std::string actual = GlbPrefix(layout, writer.bounds().low, writer.bounds().high);
                if (actual.size() != prefix.size())
                    throw Declined{"the written bounds change the size of the glTF document"};
                prefix = actual;
            }
            if (layout.binaryChunk > layout.total && file) {
                const char zeros[3] = {};
                file->WriteAt(prefix.size() + layout.total, zeros,
                              static_cast<std::size_t>(layout.binaryChunk - layout.total));
            }
        }
        if (file) {
            file->WriteAt(0, prefix.data(), prefix.size());
            file->Commit();
        }
    } catch (const Declined& declined) {
        if (pending.valid())
            pending.wait();
        progress.End();
        return decline(declined.reason);
    } catch (const jobhost::JobError&) {
        if (pending.valid())
            pending.wait();
        progress.End();
        return decline("the job failed");
    } catch (...) {
        if (pending.valid())
            pending.wait();
        progress.End();
        throw;
    }
    progress.End();
    report.vertices = vertices;
    report.triangles = 2 * keptCells;
    report.keptCells = keptCells;
    report.cells = cells;
    return true;
}

}  // namespace heightmesh::tool
