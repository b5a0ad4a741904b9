// results_fuzz.cpp - fuzz target of the kept results file: any bytes are
// parsed; what parses is written again and must read back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/log.h"
#include "devtree/results_file.h"

namespace {

bool quiet = [] {
    zp::set_log_level(4);
    return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<zp::saved_results> saved;
    if (zp::parse_results(std::string_view(reinterpret_cast<const char*>(data), size), saved)) return 0;
    zp::devtree_list tree;
    zp::devtree* g = zp::devtree_child(tree, "g", std::nullopt);
    size_t count = 0;
    for (auto& s : saved) {
        auto n = zp::alloc_devnode();
        n->identifier = s.identifier;
        for (auto& r : s.results) n->results.push_back(std::move(r));
        count += n->results.size();
        zp::add_devnodes(*g, std::move(n));
    }
    std::vector<zp::saved_results> again;
    if (zp::parse_results(zp::serialize_results(tree), again)) abort();
    size_t count_again = 0;
    for (auto& s : again) count_again += s.results.size();
    if (count_again != count) abort();
    return 0;
}
