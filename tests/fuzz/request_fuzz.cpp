// request_fuzz.cpp - libFuzzer target: the head of a request to the sender's server (what anyone
// who reaches its port can send).
#include "client/core/offer.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    http_request request;
    long took = parse_request_head(reinterpret_cast<const char *>(data), size, &request);
    if (took > 0 && (static_cast<std::size_t>(took) > size || static_cast<std::size_t>(took) > REQUEST_HEAD_MAX ||
                     request.target.empty() || request.target[0] != '/' ||
                     (request.range && !request.range_bad && request.last_given && request.last < request.first)))
        std::abort();
    return 0;
}
