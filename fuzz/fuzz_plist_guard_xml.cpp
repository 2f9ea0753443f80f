// The XML guard against the external parser it protects: whatever the guard lets through must
// parse into a tree no deeper than the library allows, since the parser frees its trees (and the
// library walks them) one recursion per level. Input the guard refuses is not parsed at all, so
// the guard may refuse more than it must, never less.
#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "formats/plist_guard.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"

namespace {

// Depth without recursion, so that a guard failure shows as this report rather than as a crash
// of the walk itself.
int TreeDepth(plist_t root) {
    int deepest = 0;
    std::vector<std::pair<plist_t, int>> stack{{root, 1}};
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        deepest = depth > deepest ? depth : deepest;
        if (plist_get_node_type(node) == PLIST_ARRAY) {
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                stack.push_back({plist_array_get_item(node, i), depth + 1});
        } else if (plist_get_node_type(node) == PLIST_DICT) {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, it, &key, &value);
                std::free(key);
                if (value == nullptr) break;
                stack.push_back({value, depth + 1});
            }
            std::free(it);
        }
    }
    return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><array><true/>"
        "<string>x</string></array></dict></plist>",
        "<plist><array a='>'><array><!-- <array> --></array></array></plist>",
        "<!DOCTYPE plist [<!ENTITY x \"]>\">]><plist><array a=\"/>\"></array></plist>",
        "<plist><string><![CDATA[<array>]]></string ></plist>",
        "<plist><array>\x01<true/></array></plist>",
    });
    return 0;
}

// Deep nesting from small inputs: byte 0x01 stands for 200 more copies of the tag before it, and
// 0x02 for 100 thousand, enough to overflow the stack of a parser that frees what it built when
// it fails. Without this the fuzzer would never write a deep enough input.
std::string Expand(std::string_view input) {
    std::string out;
    for (const char c : input) {
        if (c != '\x01' && c != '\x02') {
            out.push_back(c);
            continue;
        }
        const size_t open = out.rfind('<');
        if (open == std::string::npos) continue;
        const std::string tag = out.substr(open);
        for (int i = c == '\x01' ? 200 : 100000; i > 0; --i)
            out += tag;
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    const std::string text = Expand(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!bw::XmlPlistLooksSafe(text)) return 0;
    plist_t root = nullptr;
    plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &root);
    if (root == nullptr) return 0;
    // One level more than the guard counts (the leaves at the bottom), none for the plist
    // element, which is no node of the tree.
    if (TreeDepth(root) > bw::kPlistMaxNesting + 2) {
        std::fprintf(stderr, "the guard let through a tree deeper than %d levels\n",
                     bw::kPlistMaxNesting + 2);
        std::abort();
    }
    plist_free(root);
    return 0;
}
