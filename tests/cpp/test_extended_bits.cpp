// The limb-darkened and flux-map functions give, bit for bit, the results recorded from older builds
// (tools/record_extended_bits.py): from the build before their quadrature was split at the lens,
// the split functions wherever the lens is not inside the source, the ring-based functions and the
// discrete map everywhere; from the first build with the split, the split functions inside.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "models/source_radii/flux_map.hpp"
#include "models/source_radii/integrated.hpp"

namespace mirvanta::models {
namespace {

struct FluxMap {
    std::vector<double> bl, bf;
};

double hex_double(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

double evaluate(const std::string& name, const FluxMap* map, double rho, double l) {
    if (name == "integrated_witt_mao_magnification") return integrated_witt_mao_magnification({l}, 1.0, rho)[0];
    if (name == "integrated_heyrovsky_magnification") return integrated_heyrovsky_magnification({l}, 1.0, rho)[0];
    if (name == "integrated_flux_map_witt_mao_magnification") {
        return integrated_flux_map_witt_mao_magnification({l}, 1.0, rho, map->bl, map->bf).value()[0];
    }
    if (name == "integrated_flux_map_heyrovsky_magnification") {
        return integrated_flux_map_heyrovsky_magnification({l}, 1.0, rho, map->bl, map->bf).value()[0];
    }
    if (name == "discrete_flux_map_heyrovsky_magnification") {
        return discrete_flux_map_heyrovsky_magnification({l}, 1.0, rho, map->bl, map->bf).value()[0];
    }
    ADD_FAILURE() << "unknown function " << name;
    return 0.0;
}

// Every value of a file reproduced; returns the number of values per function.
std::map<std::string, int> check_recorded(const std::string& file_name) {
    std::ifstream file(std::string(MIRVANTA_TEST_DATA) + "/" + file_name);
    EXPECT_TRUE(file.good()) << file_name;
    std::map<std::string, FluxMap> maps;
    std::map<std::string, int> counts;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name, map_name;
        fields >> name >> map_name;
        if (name == "map") {
            std::size_t n = 0;
            fields >> n;
            FluxMap& map = maps[map_name];
            std::string word;
            for (std::size_t i = 0; i < 2 * n && fields >> word; ++i) (i < n ? map.bl : map.bf).push_back(hex_double(word));
            EXPECT_EQ(map.bf.size(), n) << line;
            continue;
        }
        std::string rho_text, l_text, bits_text;
        fields >> rho_text >> l_text >> bits_text;
        const FluxMap* map = map_name == "-" ? nullptr : &maps.at(map_name);
        const double value = evaluate(name, map, hex_double(rho_text), hex_double(l_text));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::stoull(bits_text, nullptr, 16)) << line;
        ++counts[name];
    }
    return counts;
}

TEST(ExtendedSourceBits, RecordedResultsReproduced) {
    const auto counts = check_recorded("extended_source_bits.txt");
    EXPECT_EQ(counts.size(), 5u);
    for (const auto& [name, count] : counts) EXPECT_GT(count, 30) << name;
}

TEST(ExtendedSourceBits, RecordedResultsWithTheLensInsideReproduced) {
    const auto counts = check_recorded("extended_source_inside_bits.txt");
    EXPECT_EQ(counts.size(), 2u);
    for (const auto& [name, count] : counts) EXPECT_GT(count, 100) << name;
}

}  // namespace
}  // namespace mirvanta::models
