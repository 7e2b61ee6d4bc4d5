// veltcfg-baseline FILE BAR_FILE
//
// The floor veltcfg's data path is measured against: reads FILE in blocks of
// 16 KiB and writes every byte, through one table lookup, with one volatile
// byte store to offset 0 of BAR_FILE mapped shared, which is what the
// program does per byte with the card's data port. Nothing else: no card,
// no header, no countdown.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace {

uint8_t reverse_table[256];

void fill_table()
{
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            r |= ((i >> bit) & 1u) << (7 - bit);
        }
        reverse_table[i] = static_cast<uint8_t>(r);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: veltcfg-baseline FILE BAR_FILE\n");
        return 2;
    }
    fill_table();
    FILE* in = std::fopen(argv[1], "rb");
    const int bar = open(argv[2], O_RDWR);
    if (in == nullptr || bar < 0) {
        std::perror("veltcfg-baseline");
        return 1;
    }
    void* mapping = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, bar, 0);
    if (mapping == MAP_FAILED) {
        std::perror("veltcfg-baseline: mmap");
        return 1;
    }
    volatile uint8_t* const port = static_cast<volatile uint8_t*>(mapping);

    static uint8_t block[16384];
    uint64_t total = 0;
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0) {
        for (size_t i = 0; i < n; ++i) {
            *port = reverse_table[block[i]];
        }
        total += n;
    }
    std::printf("%llu bytes\n", static_cast<unsigned long long>(total));
    return 0;
}
