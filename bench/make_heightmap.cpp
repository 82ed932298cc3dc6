// Writes a smooth 16-bit grey PNG heightmap of the given size, the input of
// the end-to-end benchmark (bench/end_to_end.sh).
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void PutBigEndian(std::vector<unsigned char>& to, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        to.push_back(static_cast<unsigned char>(value >> shift));
}

void Chunk(std::FILE* out, const char* type, const std::vector<unsigned char>& data)
{
    std::vector<unsigned char> bytes;
    PutBigEndian(bytes, static_cast<uint32_t>(data.size()));
    bytes.insert(bytes.end(), type, type + 4);
    bytes.insert(bytes.end(), data.begin(), data.end());
    PutBigEndian(bytes, static_cast<uint32_t>(crc32(0, bytes.data() + 4, static_cast<uInt>(bytes.size() - 4))));
    std::fwrite(bytes.data(), 1, bytes.size(), out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SIZE OUTPUT.png\n", argv[0]);
        return 2;
    }
    const long size = std::strtol(argv[1], nullptr, 10);
    if (size < 2 || size > 32768) {
        std::fprintf(stderr, "size must be 2..32768\n");
        return 2;
    }
    const std::size_t side = static_cast<std::size_t>(size);
    std::vector<unsigned char> raw;
    raw.reserve(side * (2 * side + 1));
    for (std::size_t y = 0; y < side; ++y) {
        raw.push_back(0);  // no filter
        for (std::size_t x = 0; x < side; ++x) {
            const double u = double(x) / double(side), v = double(y) / double(side);
            const double h = 0.5 + 0.2 * std::sin(9.0 * u) * std::cos(7.0 * v) + 0.1 * std::sin(40.0 * u * v) +
                             0.02 * std::sin(300.0 * (u + v));
            const auto sample = static_cast<uint16_t>(std::lround(std::fmin(1.0, std::fmax(0.0, h)) * 65535.0));
            raw.push_back(static_cast<unsigned char>(sample >> 8));
            raw.push_back(static_cast<unsigned char>(sample & 0xFF));
        }
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<unsigned char> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
        return 1;
    packed.resize(packedSize);

    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::fwrite(kSignature, 1, 8, out);
    std::vector<unsigned char> header;
    PutBigEndian(header, static_cast<uint32_t>(side));
    PutBigEndian(header, static_cast<uint32_t>(side));
    header.insert(header.end(), {16, 0, 0, 0, 0});  // 16-bit grey
    Chunk(out, "IHDR", header);
    Chunk(out, "IDAT", packed);
    Chunk(out, "IEND", {});
    return std::fclose(out) == 0 ? 0 : 1;
}
