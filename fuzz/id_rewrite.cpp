// Fuzz target: the id rewrite of a package device's instance id.
//
// Input: the id (a zero-terminated text: it ends at the first zero byte).
// Checks: ids of up to 253 characters give the three texts of the rewrite's
// definition; longer ones give false and three empty texts.
#include "fuzz_check.h"

#include "inventory/inventory.h"
#include "support/run_invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string id(reinterpret_cast<const char*>(data), size);
    id = id.substr(0, id.find('\0'));
    std::string diskMatchId = "stale", flatIdTail = "stale", usbKeyTail = "stale";
    const bool rewritten = RewriteInstanceId(id, diskMatchId, flatIdTail, usbKeyTail);
    if (id.size() > 253) {
        fuzz::Check(!rewritten && diskMatchId.empty() && flatIdTail.empty() && usbKeyTail.empty(),
                    "an id too long for the buffer was rewritten");
        return 0;
    }
    fuzz::Check(rewritten, "an id of 253 characters or fewer was refused");
    const support::IdRewrite expected = support::ReferenceRewrite(id);
    fuzz::Check(diskMatchId == expected.diskMatchId, "diskMatchId of " + id);
    fuzz::Check(flatIdTail == expected.flatIdTail, "flatIdTail of " + id);
    fuzz::Check(usbKeyTail == expected.usbKeyTail, "usbKeyTail of " + id);
    // The documented shape: "00" after the flattened id, a tail without
    // backslashes that ends the flattened id.
    fuzz::Check(diskMatchId.size() == id.size() + 2 && flatIdTail.find('\\') == std::string::npos &&
                    flatIdTail.size() == usbKeyTail.size() &&
                    diskMatchId.compare(id.size() - flatIdTail.size(), flatIdTail.size(), flatIdTail) == 0,
                "the shape of the rewrite of " + id);
    return 0;
}
