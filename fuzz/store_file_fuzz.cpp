// The configuration store file as both programs read it: a damaged file is an error, never
// a crash, and whatever reads is written back as the same tree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/config_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kvzn::platform::StoreTree;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    StoreTree tree;
    if (!StoreTree::Parse(text, "registry.reg", tree).ok()) {
        return 0;
    }
    const std::string written = tree.Serialize();
    StoreTree again;
    KVZN_FUZZ_CHECK(StoreTree::Parse(written, "written.reg", again).ok());
    KVZN_FUZZ_CHECK(again == tree);
    KVZN_FUZZ_CHECK(again.Serialize() == written);
    return 0;
}
