// offer_fuzz.cpp - libFuzzer target: a line from the room, read as an offer (what any peer can
// send every client).
#include "client/core/offer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    file_offer offer;
    if (parse_offer(line, &offer)) {
        // What is read is what the rest trusts: an address that goes into a request line as it is,
        // a hash of 64 hex digits, a name that is made safe.
        for (char c : offer.path)
            if (c <= ' ' || c > '~')
                std::abort();
        if (offer.sha256.size() != 64 || offer.path.compare(0, 3, "/f/") != 0)
            std::abort();
        std::string safe = safe_file_name(offer.name);
        if (safe.empty() || safe.size() > FILE_NAME_BYTES || safe.find('/') != std::string::npos ||
            safe.find('\\') != std::string::npos || safe[0] == '.')
            std::abort();
    }
    return 0;
}
