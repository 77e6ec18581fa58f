// Frame bodies from the bus: decoding must never crash or leak, and whatever
// decodes must survive an encode and a second decode unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zeb/bus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    variant_t message;
    variant_initialize(&message, variant_type_unknown);
    const char *why = nullptr;
    if (zeb_bus_decodeBody(data, size, &message, &why) != 0) {
        variant_cleanup(&message);
        return 0;
    }

    char *frame = nullptr;
    size_t frameSize = 0;
    // A decoded message is within the limits, so it always encodes.
    if (zeb_bus_encodeFrame(&message, &frame, &frameSize) != 0)
        abort();
    if (frameSize < 4 || zeb_bus_frameBodySize(frame) != frameSize - 4)
        abort();

    variant_t again;
    variant_initialize(&again, variant_type_unknown);
    if (zeb_bus_decodeBody(frame + 4, frameSize - 4, &again, &why) != 0)
        abort();
    if (!variant_equals(&message, &again)) {
        // NaN is the one value unequal to itself: then the bytes must agree.
        char *second = nullptr;
        size_t secondSize = 0;
        if (zeb_bus_encodeFrame(&again, &second, &secondSize) != 0 || secondSize != frameSize ||
            memcmp(frame, second, frameSize) != 0)
            abort();
        free(second);
    }
    free(frame);
    variant_cleanup(&again);
    variant_cleanup(&message);
    return 0;
}
