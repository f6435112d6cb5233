// The limb-darkened and flux-map functions give, bit for bit, the results recorded before their
// quadrature was split at the lens (tools/record_extended_bits.py): the split functions wherever
// the lens is not inside the source, the ring-based functions and the discrete map everywhere.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "models/flux_map.hpp"
#include "models/integrated.hpp"

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
        return integrated_flux_map_witt_mao_magnification({l}, 1.0, rho, map->bl, map->bf)[0];
    }
    if (name == "integrated_flux_map_heyrovsky_magnification") {
        return integrated_flux_map_heyrovsky_magnification({l}, 1.0, rho, map->bl, map->bf)[0];
    }
    if (name == "discrete_flux_map_heyrovsky_magnification") {
        return discrete_flux_map_heyrovsky_magnification({l}, 1.0, rho, map->bl, map->bf).value()[0];
    }
    ADD_FAILURE() << "unknown function " << name;
    return 0.0;
}

TEST(ExtendedSourceBits, RecordedResultsReproduced) {
    std::ifstream file(std::string(MIRVANTA_TEST_DATA) + "/extended_source_bits.txt");
    ASSERT_TRUE(file.good());
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
            ASSERT_EQ(map.bf.size(), n) << line;
            continue;
        }
        std::string rho_text, l_text, bits_text;
        fields >> rho_text >> l_text >> bits_text;
        const FluxMap* map = map_name == "-" ? nullptr : &maps.at(map_name);
        const double value = evaluate(name, map, hex_double(rho_text), hex_double(l_text));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::stoull(bits_text, nullptr, 16)) << line;
        ++counts[name];
    }
    EXPECT_EQ(counts.size(), 5u);
    for (const auto& [name, count] : counts) EXPECT_GT(count, 30) << name;
}

}  // namespace
}  // namespace mirvanta::models
