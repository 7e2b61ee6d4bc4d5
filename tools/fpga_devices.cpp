// The FPGA devices the bitstream checker can name, by IDCODE (bits 27:0;
// bits 31:28 are the silicon revision, which a device ignores when it checks
// the IDCODE a stream writes). The IDCODEs were seen written by real .BIT
// files whose header names the part, or come from a public list of JTAG
// IDCODEs.
#include "tools/fpga_devices.h"

#include <cstring>
#include <iterator>

#include "card/plx/sim/packet_parser.h"

namespace {

const FpgaDevice DEVICES[] = {
    {0x0127E093, "xc2vp30", "Virtex-II Pro"},
    {0x0129E093, "xc2vp50", "Virtex-II Pro"},
    {0x01414093, "xc3s200", "Spartan-3"},
    {0x01C1A093, "xc3s250e", "Spartan-3E"},
    {0x01C22093, "xc3s500e", "Spartan-3E"},
    {0x01C2E093, "xc3s1200e", "Spartan-3E"},
    {0x01E64093, "xc4vfx20", "Virtex-4 FX"},
    {0x02210093, "xc3s50a", "Spartan-3A"},
    {0x02218093, "xc3s200a", "Spartan-3A"},
    {0x02610093, "xc3s50an", "Spartan-3AN"},
    {0x02618093, "xc3s200an", "Spartan-3AN"},
    {0x02620093, "xc3s400an", "Spartan-3AN"},
    {0x02628093, "xc3s700an", "Spartan-3AN"},
    {0x02630093, "xc3s1400an", "Spartan-3AN"},
    {0x02AD6093, "xc5vlx110t", "Virtex-5"},
    {0x03840093, "xc3sd1800a", "Spartan-3A DSP"},
    {0x04001093, "xc6slx9", "Spartan-6"},
    {0x04002093, "xc6slx16", "Spartan-6"},
    {0x04008093, "xc6slx45", "Spartan-6"},
    {0x0402E093, "xc6slx75t", "Spartan-6"},
    {0x0424A093, "xc6vlx130t", "Virtex-6"},
    {0x0362D093, "xc7a35t", "Artix-7"},
    {0x03631093, "xc7a100t", "Artix-7"},
    {0x03647093, "xc7k70t", "Kintex-7"},
    {0x03727093, "xc7z020", "Zynq-7000"},
    {0x03822093, "xcku040", "Kintex UltraScale"},
    {0x04AC4093, "xcau10p", "Artix UltraScale+"},
    {0x04004093, "xc6slx25", "Spartan-6"},
    {0x04024093, "xc6slx25t", "Spartan-6"},
    {0x04028093, "xc6slx45t", "Spartan-6"},
    {0x04011093, "xc6slx100", "Spartan-6"},
    {0x0403D093, "xc6slx150t", "Spartan-6"},
    {0x03622093, "xc7s6", "Spartan-7"},
    {0x03620093, "xc7s15", "Spartan-7"},
    {0x037C4093, "xc7s25", "Spartan-7"},
    {0x0362F093, "xc7s50", "Spartan-7"},
    {0x037C8093, "xc7s75", "Spartan-7"},
    {0x037C7093, "xc7s100", "Spartan-7"},
    {0x037C3093, "xc7a12t", "Artix-7"},
    {0x0362E093, "xc7a15t", "Artix-7"},
    {0x037C2093, "xc7a25t", "Artix-7"},
    {0x0362C093, "xc7a50t", "Artix-7"},
    {0x03632093, "xc7a75t", "Artix-7"},
    {0x03636093, "xc7a200t", "Artix-7"},
    {0x0364C093, "xc7k160t", "Kintex-7"},
    {0x03651093, "xc7k325t", "Kintex-7"},
    {0x03747093, "xc7k355t", "Kintex-7"},
    {0x03656093, "xc7k410t", "Kintex-7"},
    {0x03752093, "xc7k420t", "Kintex-7"},
    {0x03751093, "xc7k480t", "Kintex-7"},
    {0x03671093, "xc7v585t", "Virtex-7"},
    {0x03667093, "xc7vx330t", "Virtex-7"},
    {0x03682093, "xc7vx415t", "Virtex-7"},
    {0x03687093, "xc7vx485t", "Virtex-7"},
    {0x03692093, "xc7vx550t", "Virtex-7"},
    {0x03691093, "xc7vx690t", "Virtex-7"},
    {0x03696093, "xc7vx980t", "Virtex-7"},
    {0x03722093, "xc7z010", "Zynq-7000"},
    {0x0372C093, "xc7z030", "Zynq-7000"},
    {0x03731093, "xc7z045", "Zynq-7000"},
    {0x03736093, "xc7z100", "Zynq-7000"},
    {0x03823093, "xcku035", "Kintex UltraScale"},
    {0x03919093, "xcku060", "Kintex UltraScale"},
    {0x0390D093, "xcku115", "Kintex UltraScale"},
    {0x03842093, "xcvu095", "Virtex UltraScale"},
    {0x04AC2093, "xcau15p", "Artix UltraScale+"},
    {0x04A65093, "xcau20p", "Artix UltraScale+"},
    {0x04A64093, "xcau25p", "Artix UltraScale+"},
    {0x04A63093, "xcku3p", "Kintex UltraScale+"},
    {0x04A62093, "xcku5p", "Kintex UltraScale+"},
};

// A part as a .BIT header names it, without the maker's "xc" if it has one.
const char* without_prefix(const char* name)
{
    return std::strncmp(name, "xc", 2) == 0 ? name + 2 : name;
}

}  // namespace

const FpgaDevice* device_of_idcode(uint32_t idcode)
{
    for (const FpgaDevice& device : DEVICES) {
        if (((device.idcode ^ idcode) & sim::IDCODE_COMPARED_BITS) == 0) {
            return &device;
        }
    }
    return nullptr;
}

const FpgaDevice* device_of_part(const char* part)
{
    // The part field adds the package and speed grade to the device name
    // ("3s200pq208", "xc7a100tcsg324-1"): the longest device name it starts
    // with is its device.
    const FpgaDevice* best = nullptr;
    const char* wanted = without_prefix(part);
    for (const FpgaDevice& device : DEVICES) {
        const char* name = without_prefix(device.name);
        const size_t length = std::strlen(name);
        if (std::strncmp(wanted, name, length) == 0 &&
            (best == nullptr || length > std::strlen(without_prefix(best->name)))) {
            best = &device;
        }
    }
    return best;
}
