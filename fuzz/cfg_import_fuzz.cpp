// A file given to "kvZNPrintCfg import": refused with the line named, or accepted as a store
// that passes every check and writes back as the same tree.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cfgutil/store_check.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using kvzn::platform::StoreTree;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    StoreTree tree;
    const kvzn::platform::Status status = kvzn::cfgutil::ParseImport(text, "import.reg", tree);
    if (!status.ok()) {
        KVZN_FUZZ_CHECK(status.Text().rfind("import.reg", 0) == 0);
        KVZN_FUZZ_CHECK(tree == StoreTree());
        return 0;
    }
    KVZN_FUZZ_CHECK(kvzn::cfgutil::CheckStore(tree).empty());
    StoreTree again;
    KVZN_FUZZ_CHECK(kvzn::cfgutil::ParseImport(tree.Serialize(), "again.reg", again).ok());
    KVZN_FUZZ_CHECK(again == tree);
    return 0;
}
