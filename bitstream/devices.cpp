// The FPGA devices the bitstream checker and the simulated card know, by
// IDCODE (bits 27:0; bits 31:28 are the silicon revision, which a device
// ignores when it checks the IDCODE a stream writes), with their families.
// The IDCODEs were seen written by real .BIT files whose header names the
// part, or come from a public list of JTAG IDCODEs.
#include "bitstream/devices.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace bitstream {

namespace {

const FpgaFamily VIRTEX_II_PRO = {"Virtex-II Pro", FamilyGroup::VirtexII};
const FpgaFamily SPARTAN_3 = {"Spartan-3", FamilyGroup::VirtexII};
const FpgaFamily SPARTAN_3E = {"Spartan-3E", FamilyGroup::VirtexII};
const FpgaFamily VIRTEX_4_FX = {"Virtex-4 FX", FamilyGroup::Virtex4On};
const FpgaFamily SPARTAN_3A = {"Spartan-3A", FamilyGroup::Spartan3A};
const FpgaFamily SPARTAN_3AN = {"Spartan-3AN", FamilyGroup::Spartan3A};
const FpgaFamily VIRTEX_5 = {"Virtex-5", FamilyGroup::Virtex4On};
const FpgaFamily SPARTAN_3A_DSP = {"Spartan-3A DSP", FamilyGroup::Spartan3A};
const FpgaFamily SPARTAN_6 = {"Spartan-6", FamilyGroup::Spartan6};
const FpgaFamily VIRTEX_6 = {"Virtex-6", FamilyGroup::Virtex4On};
const FpgaFamily ARTIX_7 = {"Artix-7", FamilyGroup::Virtex4On};
const FpgaFamily KINTEX_7 = {"Kintex-7", FamilyGroup::Virtex4On};
const FpgaFamily ZYNQ_7000 = {"Zynq-7000", FamilyGroup::Virtex4On};
const FpgaFamily KINTEX_ULTRASCALE = {"Kintex UltraScale", FamilyGroup::Virtex4On};
const FpgaFamily ARTIX_ULTRASCALE_PLUS = {"Artix UltraScale+", FamilyGroup::Virtex4On};
const FpgaFamily SPARTAN_7 = {"Spartan-7", FamilyGroup::Virtex4On};
const FpgaFamily VIRTEX_7 = {"Virtex-7", FamilyGroup::Virtex4On};
const FpgaFamily VIRTEX_ULTRASCALE = {"Virtex UltraScale", FamilyGroup::Virtex4On};
const FpgaFamily KINTEX_ULTRASCALE_PLUS = {"Kintex UltraScale+", FamilyGroup::Virtex4On};

const FpgaDevice DEVICES[] = {
    {0x0127E093, "xc2vp30", &VIRTEX_II_PRO},
    {0x0129E093, "xc2vp50", &VIRTEX_II_PRO},
    {0x01414093, "xc3s200", &SPARTAN_3},
    {0x01C1A093, "xc3s250e", &SPARTAN_3E},
    {0x01C22093, "xc3s500e", &SPARTAN_3E},
    {0x01C2E093, "xc3s1200e", &SPARTAN_3E},
    {0x01E64093, "xc4vfx20", &VIRTEX_4_FX},
    {0x02210093, "xc3s50a", &SPARTAN_3A},
    {0x02218093, "xc3s200a", &SPARTAN_3A},
    {0x02610093, "xc3s50an", &SPARTAN_3AN},
    {0x02618093, "xc3s200an", &SPARTAN_3AN},
    {0x02620093, "xc3s400an", &SPARTAN_3AN},
    {0x02628093, "xc3s700an", &SPARTAN_3AN},
    {0x02630093, "xc3s1400an", &SPARTAN_3AN},
    {0x02AD6093, "xc5vlx110t", &VIRTEX_5},
    {0x03840093, "xc3sd1800a", &SPARTAN_3A_DSP},
    {0x04001093, "xc6slx9", &SPARTAN_6},
    {0x04002093, "xc6slx16", &SPARTAN_6},
    {0x04008093, "xc6slx45", &SPARTAN_6},
    {0x0402E093, "xc6slx75t", &SPARTAN_6},
    {0x0424A093, "xc6vlx130t", &VIRTEX_6},
    {0x0362D093, "xc7a35t", &ARTIX_7},
    {0x03631093, "xc7a100t", &ARTIX_7},
    {0x03647093, "xc7k70t", &KINTEX_7},
    {0x03727093, "xc7z020", &ZYNQ_7000},
    {0x03822093, "xcku040", &KINTEX_ULTRASCALE},
    {0x04AC4093, "xcau10p", &ARTIX_ULTRASCALE_PLUS},
    {0x04004093, "xc6slx25", &SPARTAN_6},
    {0x04024093, "xc6slx25t", &SPARTAN_6},
    {0x04028093, "xc6slx45t", &SPARTAN_6},
    {0x04011093, "xc6slx100", &SPARTAN_6},
    {0x0403D093, "xc6slx150t", &SPARTAN_6},
    {0x03622093, "xc7s6", &SPARTAN_7},
    {0x03620093, "xc7s15", &SPARTAN_7},
    {0x037C4093, "xc7s25", &SPARTAN_7},
    {0x0362F093, "xc7s50", &SPARTAN_7},
    {0x037C8093, "xc7s75", &SPARTAN_7},
    {0x037C7093, "xc7s100", &SPARTAN_7},
    {0x037C3093, "xc7a12t", &ARTIX_7},
    {0x0362E093, "xc7a15t", &ARTIX_7},
    {0x037C2093, "xc7a25t", &ARTIX_7},
    {0x0362C093, "xc7a50t", &ARTIX_7},
    {0x03632093, "xc7a75t", &ARTIX_7},
    {0x03636093, "xc7a200t", &ARTIX_7},
    {0x0364C093, "xc7k160t", &KINTEX_7},
    {0x03651093, "xc7k325t", &KINTEX_7},
    {0x03747093, "xc7k355t", &KINTEX_7},
    {0x03656093, "xc7k410t", &KINTEX_7},
    {0x03752093, "xc7k420t", &KINTEX_7},
    {0x03751093, "xc7k480t", &KINTEX_7},
    {0x03671093, "xc7v585t", &VIRTEX_7},
    {0x03667093, "xc7vx330t", &VIRTEX_7},
    {0x03682093, "xc7vx415t", &VIRTEX_7},
    {0x03687093, "xc7vx485t", &VIRTEX_7},
    {0x03692093, "xc7vx550t", &VIRTEX_7},
    {0x03691093, "xc7vx690t", &VIRTEX_7},
    {0x03696093, "xc7vx980t", &VIRTEX_7},
    {0x03722093, "xc7z010", &ZYNQ_7000},
    {0x0372C093, "xc7z030", &ZYNQ_7000},
    {0x03731093, "xc7z045", &ZYNQ_7000},
    {0x03736093, "xc7z100", &ZYNQ_7000},
    {0x03823093, "xcku035", &KINTEX_ULTRASCALE},
    {0x03919093, "xcku060", &KINTEX_ULTRASCALE},
    {0x0390D093, "xcku115", &KINTEX_ULTRASCALE},
    {0x03842093, "xcvu095", &VIRTEX_ULTRASCALE},
    {0x04AC2093, "xcau15p", &ARTIX_ULTRASCALE_PLUS},
    {0x04A65093, "xcau20p", &ARTIX_ULTRASCALE_PLUS},
    {0x04A64093, "xcau25p", &ARTIX_ULTRASCALE_PLUS},
    {0x04A63093, "xcku3p", &KINTEX_ULTRASCALE_PLUS},
    {0x04A62093, "xcku5p", &KINTEX_ULTRASCALE_PLUS},
};

// A part name in lower case, without the maker's "xc" if it has one.
std::string bare_name(const char* name)
{
    std::string bare;
    for (const char* c = name; *c != '\0'; ++c) {
        bare += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return bare.compare(0, 2, "xc") == 0 ? bare.substr(2) : bare;
}

// How many characters two names share from their start.
size_t shared_start(const std::string& a, const std::string& b)
{
    size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) {
        ++n;
    }
    return n;
}

}  // namespace

const FpgaDevice* device_of_idcode(uint32_t idcode)
{
    for (const FpgaDevice& device : DEVICES) {
        if (((device.idcode ^ idcode) & IDCODE_COMPARED_BITS) == 0) {
            return &device;
        }
    }
    return nullptr;
}

const FpgaDevice* device_of_part(const char* part)
{
    // The part adds the package and speed grade to the device name
    // ("3s200pq208", "xc7a100tcsg324-1"): the longest device name it starts
    // with is its device.
    const FpgaDevice* best = nullptr;
    size_t best_length = 0;
    const std::string wanted = bare_name(part);
    for (const FpgaDevice& device : DEVICES) {
        const std::string name = bare_name(device.name);
        // A digit after the name continues a longer device's number
        // ("3s2000fg676" is no xc3s200).
        const bool continued = wanted.size() > name.size() &&
                               std::isdigit(static_cast<unsigned char>(wanted[name.size()]));
        if (wanted.compare(0, name.size(), name) == 0 && !continued && name.size() > best_length) {
            best = &device;
            best_length = name.size();
        }
    }
    return best;
}

std::vector<const FpgaDevice*> devices_near(const char* part, size_t count)
{
    const std::string wanted = bare_name(part);
    std::vector<const FpgaDevice*> near;
    for (const FpgaDevice& device : DEVICES) {
        near.push_back(&device);
    }
    std::stable_sort(near.begin(), near.end(), [&wanted](const FpgaDevice* a, const FpgaDevice* b) {
        return shared_start(wanted, bare_name(a->name)) > shared_start(wanted, bare_name(b->name));
    });
    near.resize(std::min(count, near.size()));
    return near;
}

}  // namespace bitstream
