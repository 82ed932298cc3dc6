// An independent reader of quantized-mesh-1.0 tiles, written from the
// format's description: the tests decode every byte the tool writes with it.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

namespace tiletest {

// A gzip stream's contents, or none unless it ends whole (its checksum and
// length matching) with nothing after it: tiles are stored compressed.
inline std::optional<std::vector<uint8_t>> Gunzip(std::span<const uint8_t> bytes)
{
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK)
        return std::nullopt;
    std::vector<uint8_t> out(1 << 16);
    stream.next_in = const_cast<Bytef*>(bytes.data());
    stream.avail_in = static_cast<uInt>(bytes.size());
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.total_out == out.size())
            out.resize(out.size() * 2);
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
        status = inflate(&stream, Z_NO_FLUSH);
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    out.resize(stream.total_out);
    inflateEnd(&stream);
    if (!whole)
        return std::nullopt;
    return out;
}

struct DecodedTile {
    std::array<double, 3> centre{};
    float minimumHeight = 0.0f, maximumHeight = 0.0f;
    std::array<double, 4> sphere{};  // centre xyz, radius
    std::array<double, 3> horizonOcclusion{};
    std::vector<uint16_t> u, v, height;
    std::vector<uint32_t> indices;               // decoded, three per triangle
    std::array<std::vector<uint32_t>, 4> edges;  // west, south, east, north
    std::vector<std::array<uint8_t, 2>> normals;
    std::string metadata;
    bool wideIndices = false;
};

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    template <class T>
    T Get()
    {
        if (at_ + sizeof(T) > bytes_.size())
            throw std::runtime_error("tile ends early at byte " + std::to_string(at_));
        T value;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    void Align(std::size_t to)
    {
        while (at_ % to != 0) {
            if (Get<uint8_t>() != 0)
                throw std::runtime_error("padding that is not zero");
        }
    }
    bool AtEnd() const { return at_ == bytes_.size(); }
    std::size_t position() const { return at_; }

private:
    std::span<const uint8_t> bytes_;
    std::size_t at_ = 0;
};

inline DecodedTile DecodeTile(std::span<const uint8_t> bytes)
{
    Reader in(bytes);
    DecodedTile tile;
    for (double& c : tile.centre)
        c = in.Get<double>();
    tile.minimumHeight = in.Get<float>();
    tile.maximumHeight = in.Get<float>();
    for (double& c : tile.sphere)
        c = in.Get<double>();
    for (double& c : tile.horizonOcclusion)
        c = in.Get<double>();
    if (in.position() != 88)
        throw std::runtime_error("the header is not 88 bytes");
    const uint32_t count = in.Get<uint32_t>();
    for (std::vector<uint16_t>* values : {&tile.u, &tile.v, &tile.height}) {
        int32_t value = 0;
        for (uint32_t k = 0; k < count; ++k) {
            const uint16_t code = in.Get<uint16_t>();
            value += static_cast<int32_t>(code >> 1) ^ -static_cast<int32_t>(code & 1);
            if (value < 0 || value > 32767)
                throw std::runtime_error("a coordinate outside 0..32767");
            values->push_back(static_cast<uint16_t>(value));
        }
    }
    tile.wideIndices = count > 65536;
    in.Align(tile.wideIndices ? 4 : 2);
    const auto index = [&] { return tile.wideIndices ? in.Get<uint32_t>() : uint32_t{in.Get<uint16_t>()}; };
    const uint32_t triangles = in.Get<uint32_t>();
    uint32_t highest = 0;
    for (uint32_t k = 0; k < 3 * triangles; ++k) {
        const uint32_t code = index();
        if (code > highest)
            throw std::runtime_error("a high-water-mark code above the mark");
        tile.indices.push_back(highest - code);
        if (code == 0)
            ++highest;
    }
    if (highest != count)
        throw std::runtime_error("vertices no triangle uses");
    for (std::vector<uint32_t>& edge : tile.edges) {
        const uint32_t n = in.Get<uint32_t>();
        for (uint32_t k = 0; k < n; ++k) {
            edge.push_back(index());
            if (edge.back() >= count)
                throw std::runtime_error("an edge vertex out of range");
        }
    }
    while (!in.AtEnd()) {
        const uint8_t id = in.Get<uint8_t>();
        const uint32_t length = in.Get<uint32_t>();
        const std::size_t end = in.position() + length;
        if (id == 1) {
            if (length != 2 * count)
                throw std::runtime_error("normals of another count");
            for (uint32_t k = 0; k < count; ++k)
                tile.normals.push_back({in.Get<uint8_t>(), in.Get<uint8_t>()});
        } else if (id == 4) {
            const uint32_t json = in.Get<uint32_t>();
            for (uint32_t k = 0; k < json; ++k)
                tile.metadata.push_back(static_cast<char>(in.Get<uint8_t>()));
        } else {
            for (uint32_t k = 0; k < length; ++k)
                in.Get<uint8_t>();
        }
        if (in.position() != end)
            throw std::runtime_error("an extension of another length than it says");
    }
    return tile;
}

}  // namespace tiletest
