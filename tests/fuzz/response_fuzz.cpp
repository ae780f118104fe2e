// response_fuzz.cpp - libFuzzer target: the head of an answer to a fetch (what whatever an offer
// names can send the receiver).
#include "client/core/offer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    http_response response;
    long took = parse_response_head(reinterpret_cast<const char *>(data), size, &response);
    if (took > 0 && (static_cast<std::size_t>(took) > size || static_cast<std::size_t>(took) > RESPONSE_HEAD_MAX ||
                     response.status < 100 || response.status > 999 ||
                     (response.range_given && (response.last < response.first || response.last >= response.total))))
        std::abort();
    return 0;
}
