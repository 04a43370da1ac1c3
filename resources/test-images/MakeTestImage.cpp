// Writes a test image: a line that names it as test content, then
// pseudo-random bytes (no long runs of 0xFF, so a missed page shows in a
// comparison). Usage: MakeTestImage <output> <size> <name>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <output> <size> <name>\n", argv[0]);
        return 2;
    }
    const long size = std::strtol(argv[2], nullptr, 10);
    const std::string head = std::string("VQ6020 TEST IMAGE (") + argv[3] + "), NOT FOR A UNIT\n";
    std::FILE *out = std::fopen(argv[1], "wb");
    if (!out || size < long(head.size()))
        return 1;
    std::fwrite(head.data(), 1, head.size(), out);
    uint32_t state = 0x9E3779B9u;
    for (char c : head)
        state = state * 31 + uint8_t(c);
    for (long i = long(head.size()); i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::fputc(int(state & 0xFF), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
