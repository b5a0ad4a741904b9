// variables_fuzz.cpp - fuzz target of the variables file parser: any bytes are
// refused or read into keys and values within the size limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/variables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::pair<std::string, std::string>> out;
    if (zp::parse_variables(std::string(reinterpret_cast<const char*>(data), size), out)) return 0;
    for (const auto& [k, v] : out)
        if (k.size() > zp::variable_max_size || v.size() > zp::variable_max_size) abort();
    return 0;
}
